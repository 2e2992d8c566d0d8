// velmora, the front command: what a program prints and its status reach the
// caller exactly as when the program is started by its own name; its own
// listing, version and refusals; and what it does when a program is missing.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "process.h"
#include "temp_dir.h"

namespace {

using namespace std::chrono_literals;
using testsupport::Command;
using testsupport::Exit;
using testsupport::Process;
using testsupport::Stream;

const std::vector<std::string> kPrograms{"agent",         "service",       "filter",         "refresh",
                                         "filter-verify", "bluetooth-sim", "servicemanager", "demo-services"};

struct Ran {
    Exit exit;
    std::string out;
    std::string err;
};

class Front : public ::testing::Test {
protected:
    // argv as given; `program` is the file run, argv[0] when empty.
    Ran run(std::vector<std::string> argv, const std::string& program = "") {
        Command command(std::move(argv));
        command.program = program;
        // No service manager, bus or display of the machine's own.
        command.env = testsupport::environment([](std::string_view name) {
            return name == "VELMORA_SERVICE_MANAGER" || name == "DBUS_SYSTEM_BUS_ADDRESS" || name == "DISPLAY";
        });
        command.env->insert(command.env->end(), {"VELMORA_SERVICE_MANAGER=" + tmp.file("no-manager"),
                                                 "DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + tmp.file("no-bus")});
        command.out = Stream::pipe();
        command.err = Stream::pipe();
        Process process(command);
        const Exit exit = process.finish(1min);
        return {exit, process.out(), process.err()};
    }

    Ran velmora(const std::vector<std::string>& words, const std::string& front = VELMORA_BIN) {
        std::vector<std::string> argv{"velmora"};
        argv.insert(argv.end(), words.begin(), words.end());
        return run(argv, front);
    }

    testsupport::TempDir tmp{"velmora-front-test"};
};

// Whatever each program prints, under its own name, and however it ends.
TEST_F(Front, PassesEveryByteAndTheStatusThrough) {
    if (testsupport::emulated())
        GTEST_SKIP() << "velmora starts the program itself, which qemu-user cannot do for a program of the "
                        "emulated machine without binfmt_misc";
    struct Case {
        std::vector<std::string> words;
        int status;
        std::string out;  // exactly, when given
        std::string err;  // a part of it
    };
    for (const Case& c : std::vector<Case>{
             {{"filter"}, 0, "usage: filter <0-6> [pbuffer]\n", ""},
             {{"filter", "1", "2", "3"}, 0, "usage: filter <0-6> [pbuffer]\n", ""},
             {{"service", "list"}, 20, "", "service: Unable to get default service manager!\n"},
             {{"agent", "--bogus"}, 1, "", "agent: unrecognized option '--bogus'"},
             {{"agent"}, 1, "", ""},
             {{"bluetooth-sim", "--bogus"}, 2, "", "bluetooth-sim"},
             {{"servicemanager", "--version"}, 0, "", ""},
             {{"servicemanager", "a", "b"}, 2, "", "servicemanager"},
             {{"demo-services", "-n"}, 2, "", "demo-services"},
             {{"filter-verify", "--bogus"}, 2, "", "filter-verify"},
             {{"filter-verify", "7"}, 2, "", ""},
         }) {
        const std::string name = c.words[0];
        const Ran direct = run(c.words, std::string(PROGRAM_DIR) + "/" + name);
        const Ran front = velmora(c.words);
        EXPECT_EQ(front.exit, testsupport::exitedWith(c.status)) << name << ": " << front.err;
        EXPECT_EQ(front.exit, direct.exit) << name;
        EXPECT_EQ(front.out, direct.out) << name;
        EXPECT_EQ(front.err, direct.err) << name;
        if (!c.out.empty()) {
            EXPECT_EQ(front.out, c.out) << name;
        }
        EXPECT_NE(front.err.find(c.err), std::string::npos) << name << ": " << front.err;
        EXPECT_EQ(front.err.find("velmora"), std::string::npos) << name << ": " << front.err;
    }
}

// The program replaces the front command: signals sent to the pid the caller
// knows reach it, and a daemon stops cleanly on them.
TEST_F(Front, TheProgramRunsInItsPlace) {
    if (testsupport::emulated()) GTEST_SKIP() << "under qemu-user the process is the emulator's";
    Command command({"velmora", "servicemanager", tmp.file("sm")});
    command.program = VELMORA_BIN;
    command.err = Stream::pipe();
    Process manager(command);
    ASSERT_TRUE(testsupport::waitUntil([&] { return std::filesystem::exists(tmp.file("sm")); }, 60s)) << manager.err();
    EXPECT_EQ(std::filesystem::read_symlink("/proc/" + std::to_string(manager.pid()) + "/exe"),
              std::filesystem::canonical(std::string(PROGRAM_DIR) + "/servicemanager"));
    manager.signal(SIGTERM);
    EXPECT_EQ(manager.finish(1min), testsupport::exitedWith(0)) << manager.err();
    EXPECT_FALSE(std::filesystem::exists(tmp.file("sm")));
}

TEST_F(Front, ListsItsProgramsAndItsVersion) {
    for (const std::vector<std::string>& words :
         std::vector<std::vector<std::string>>{{}, {"-h"}, {"--help"}, {"--help", "agent"}}) {
        const Ran listing = velmora(words);
        EXPECT_EQ(listing.exit, testsupport::exitedWith(0));
        EXPECT_EQ(listing.err, "");
        EXPECT_TRUE(listing.out.starts_with("usage: velmora PROGRAM [ARGUMENT...]\n")) << listing.out;
        for (const std::string& program : kPrograms)
            EXPECT_NE(listing.out.find("\n  " + program + " "), std::string::npos) << program << " in\n" << listing.out;
    }
    const Ran version = velmora({"--version"});
    EXPECT_EQ(version.exit, testsupport::exitedWith(0));
    EXPECT_EQ(version.out, "velmora " VELMORA_VERSION "\n");
}

// Names are looked up in its own list, never taken as paths.
TEST_F(Front, RefusesWhatIsNotOneOfItsPrograms) {
    for (const std::string& word :
         {std::string("bogus"), std::string("../bin/filter"), std::string(PROGRAM_DIR) + "/filter",
          std::string("velmora"), std::string("velmora-sandbox"), std::string("FILTER"), std::string(""),
          std::string("-x"), std::string("--helpx")}) {
        const Ran refused = velmora({word, "1"});
        EXPECT_EQ(refused.exit, testsupport::exitedWith(64)) << word;
        EXPECT_EQ(refused.out, "") << word;
        const std::string kind = word.starts_with("-") ? "option" : "program";
        EXPECT_EQ(refused.err, "velmora: unknown " + kind + " '" + word + "' (velmora --help lists the programs)\n");
    }
}

// One package installed without the other: only what is there is listed,
// and a program that is not there is reported with its own status.
TEST_F(Front, AMissingProgramIsNotListedAndCannotRun) {
    namespace fs = std::filesystem;
    const fs::path dir = tmp.path() / "programs";
    fs::create_directory(dir);
    fs::copy_file(VELMORA_BIN, dir / "velmora");
    fs::copy_file(std::string(PROGRAM_DIR) + "/servicemanager", dir / "servicemanager");

    const Ran listing = velmora({}, dir / "velmora");
    EXPECT_NE(listing.out.find("\n  servicemanager "), std::string::npos) << listing.out;
    for (const std::string& program : kPrograms)
        if (program != "servicemanager") {
            EXPECT_EQ(listing.out.find("\n  " + program + " "), std::string::npos) << program;
        }

    const Ran missing = velmora({"agent", "1234"}, dir / "velmora");
    EXPECT_EQ(missing.exit, testsupport::exitedWith(69));
    EXPECT_EQ(missing.out, "");
    EXPECT_EQ(missing.err, "velmora: cannot run " + (dir / "agent").string() + ": No such file or directory\n");
}

}  // namespace
