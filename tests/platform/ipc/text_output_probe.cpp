// text-output-probe: writes to aout and aerr in a given pattern, for the
// tests of how the standard streams hold back and send lines.
//
//   text-output-probe interleave   lines and pieces of lines on both streams
//   text-output-probe killed       a whole line, half a line, then SIGKILL
//   text-output-probe exit         half a line, then exit()
//   text-output-probe held         half a line, waits for end of input,
//                                  then ends the line
#include <velmora/TextOutput.h>

#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

using namespace velmora;

int main(int argc, char** argv) {
    const char* what = argc == 2 ? argv[1] : "";
    if (!std::strcmp(what, "interleave")) {
        aout << "out ";
        aerr << "err" << endl;
        aout << 1u << "\t"
             << "name"
             << ": [";
        aout << "iface"
             << "]" << endl;
        aout << "two\nlines\nand a half";
        aerr << "late" << endl;
        aout << "unended";
        return 0;
    }
    if (!std::strcmp(what, "killed")) {
        aout << "whole" << endl;
        aout << "half";
        raise(SIGKILL);
    }
    if (!std::strcmp(what, "exit")) {
        aout << "half";
        std::exit(0);
    }
    if (!std::strcmp(what, "held")) {
        aout << "partial";
        char byte;
        while (read(STDIN_FILENO, &byte, 1) > 0) {
        }
        aout << " done" << endl;
        return 0;
    }
    return 2;
}
