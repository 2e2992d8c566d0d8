// service: lists, checks and calls the services registered with the
// platform's service manager.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include <velmora/IBinder.h>
#include <velmora/IServiceManager.h>
#include <velmora/Parcel.h>
#include <velmora/String16.h>
#include <velmora/String8.h>
#include <velmora/TextOutput.h>
#include <velmora/Vector.h>

#include "call_arguments.h"

using namespace velmora;

namespace {

// '_', 'N', 'T', 'F': asks a binder object for its interface name.
constexpr uint32_t NAME_QUERY_CODE = 0x5F4E5446;

const char kUsage[] =
    "Usage: service [-h|-?]\n"
    "       service list\n"
    "       service check SERVICE\n"
    "       service call SERVICE CODE [i32 INT | s16 STR] ...\n"
    "Options:\n"
    "   i32: Write the integer INT into the send parcel.\n"
    "   s16: Write the UTF-16 string STR into the send parcel.\n";

// Run state shared by the commands.
struct Run {
    int argc;
    char** argv;
    int cursor;
    bool wantsUsage;
    int result;
    sp<IServiceManager> sm;
};

String16 fetchInterfaceName(sp<IBinder> binder) {
    if (binder == nullptr) {
        return String16();
    }
    Parcel data;
    Parcel reply;
    if (binder->callBinder(NAME_QUERY_CODE, data, &reply, 0) != 0) {
        return String16();
    }
    return reply.readString16();
}

// Keeps the 7-bit code units of a name, dropping NUL and everything beyond.
String8 toAsciiText(const String16& text) {
    // Collected first and appended once: the listing does this twice a line.
    std::string bytes;
    bytes.reserve(text.size());
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] >= 1 && text[i] <= 127) {
            bytes.push_back(static_cast<char>(text[i]));
        }
    }
    String8 ascii;
    ascii.append(bytes.c_str());
    return ascii;
}

void check(Run& run) {
    run.cursor++;
    if (run.cursor >= run.argc) {
        failCommand("service: No service specified for check", "", run.wantsUsage, run.result);
        return;
    }
    const char* name = run.argv[run.cursor];
    sp<IBinder> service = run.sm->lookUpByName(String16(name));
    aout << "Service " << name << (service == nullptr ? ": not found" : ": found") << endl;
}

void list(Run& run) {
    Vector<String16> names = run.sm->registeredNames();
    aout << "Found " << static_cast<unsigned int>(names.size()) << " services:" << endl;
    for (unsigned int i = 0; i < names.size(); i++) {
        sp<IBinder> service = run.sm->lookUpByName(names[i]);
        // The name goes out before the name query: on a terminal a service
        // that does not answer is seen by its name (into a pipe, aout sends
        // the line whole at its end).
        aout << i << "\t" << toAsciiText(names[i]).string() << ": [";
        aout << toAsciiText(fetchInterfaceName(service)).string() << "]" << endl;
    }
}

void call(Run& run) {
    run.cursor++;
    if (run.cursor >= run.argc) {
        failCommand("service: No service specified for call", "", run.wantsUsage, run.result);
        return;
    }
    if (run.cursor + 1 >= run.argc) {
        failCommand("service: No code specified for call", "", run.wantsUsage, run.result);
        return;
    }
    const char* name = run.argv[run.cursor++];
    sp<IBinder> service = run.sm->lookUpByName(String16(name));
    String16 interfaceName = fetchInterfaceName(service);
    int32_t code = atoi(run.argv[run.cursor++]);
    if (service == nullptr || interfaceName.size() == 0) {
        aerr << "service: Service " << name << " does not exist" << endl;
        run.result = 10;
        return;
    }

    Parcel data;
    Parcel reply;
    data.writeInterfaceToken(interfaceName);
    readCallArguments(data, run.argc, run.argv, run.cursor, run.wantsUsage, run.result);

    // Sent even after a faulty argument word, with the values before it. The
    // status is not examined: the reply is shown in whatever state the call
    // left it, and callers of the tool rely on a completed call ending with 0.
    service->callBinder(code, data, &reply, 0);
    aout << "Result: ";
    reply.print(aout, 0);
    aout << endl;
}

void runCommand(Run& run) {
    const char* command = run.argv[run.cursor];
    if (strcmp(command, "check") == 0) {
        check(run);
    } else if (strcmp(command, "list") == 0) {
        list(run);
    } else if (strcmp(command, "call") == 0) {
        call(run);
    } else {
        failCommand("service: Unknown command ", command, run.wantsUsage, run.result);
    }
}

}  // namespace

int main(int argc, char* argv[]) {
    Run run{argc, argv, 0, false, 0, defaultServiceManager()};
    fflush(stdout);
    if (run.sm == nullptr) {
        aerr << "service: Unable to get default service manager!" << endl;
        return 20;
    }

    // '+' keeps glibc from permuting: option scanning ends at the command
    // word, so operands such as "-5" after it reach the command.
    while (getopt(argc, argv, "+h?") != -1) {
        run.wantsUsage = true;
    }
    run.cursor = optind;

    if (run.cursor < argc && !run.wantsUsage) {
        runCommand(run);
    } else {
        run.wantsUsage = true;
    }
    if (run.wantsUsage) {
        aout << kUsage;
    }
    run.sm = nullptr;
    return run.result;
}
