// The completion file, driven the way bash drives it: each case sources the
// file in a fresh bash, registers the programs' own names as the sandbox
// does when the command is one of them, takes the function registered for
// the command, sets COMP_WORDS and COMP_CWORD (the last word is the one
// being completed) and prints COMPREPLY. The service manager is a private
// one with demo-services.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "service_fixture.h"

namespace {

const char kDriver[] = R"(
source "$1"
if [[ $2 != velmora ]]; then
  for f in "${!_velmora_completers[@]}"; do complete -F "${_velmora_completers[$f]}" "$f"; done
fi
compspec=$(complete -p "$2") || exit 3
shift 2
func=${compspec#*-F }; func=${func%% *}
COMP_WORDS=("$@"); COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}
"$func"
printf '%s\n' "${COMPREPLY[@]}"
)";

struct Case {
    std::vector<std::string> words;
    std::vector<std::string> expected;
};

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) result.push_back(line);
    return result;
}

std::string joined(const std::vector<std::string>& words) {
    std::string text;
    for (const std::string& word : words) text += "'" + word + "' ";
    return text;
}

class Completion : public ServiceToolWithDemo {
protected:
    std::vector<std::string> complete(const std::vector<std::string>& words) {
        std::vector<std::string> argv{"bash",  "--norc", "--noprofile",    "-c",
                                      kDriver, "driver", COMPLETIONS_FILE, words[0]};
        // As typed: a path to the service tool or the front command, which
        // the completion runs for the names.
        argv.push_back(words[0] == "service"   ? runnableBy("service", SERVICE_BIN)
                       : words[0] == "velmora" ? runnableBy("velmora", VELMORA_BIN)
                                               : words[0]);
        argv.insert(argv.end(), words.begin() + 1, words.end());
        const Finished run = runProgram(argv, env);
        EXPECT_EQ(run.status, 0) << joined(words) << run.err;
        return lines(run.out);
    }

    // The program; in a cross build a script of that name that runs it
    // through the emulator, since bash cannot start a program of another
    // machine.
    std::string runnableBy(const std::string& name, const std::string& program) {
        if (!testsupport::emulated()) return program;
        const std::string script = tmp + "/" + name;
        if (!std::filesystem::exists(script)) {
            std::ofstream out(script);
            out << "#!/bin/sh\nexec";
            for (const std::string& word : testsupport::runnable({program})) out << " '" << word << "'";
            out << " \"$@\"\n";
            out.close();
            std::filesystem::permissions(script, std::filesystem::perms::owner_all);
        }
        return script;
    }

    void expectAll(const std::vector<Case>& cases) {
        for (const Case& c : cases) EXPECT_EQ(complete(c.words), c.expected) << joined(c.words);
    }
};

const std::vector<std::string> kNone;

TEST_F(Completion, AgentOptionsTheirValuesAndNothingAfterThePasskey) {
    expectAll({
        {{"agent", "--"}, {"--adapter", "--path", "--capabilites", "--reject", "--help"}},
        {{"agent", "-r", "-p", "/x", "-"},
         {"-a", "-p", "-c", "-r", "-h", "--adapter", "--path", "--capabilites", "--reject", "--help"}},
        {{"agent", "-c", "Key"}, {"KeyboardOnly", "KeyboardDisplay"}},
        {{"agent", "--capabilites", "=", "Disp"}, {"DisplayOnly", "DisplayYesNo"}},
        {{"agent", "--capabilites=No"}, {"NoInputNoOutput"}},
        {{"agent", "-p", ""}, kNone},
        {{"agent", "1234", "-"}, kNone},
        {{"agent", "-a", "hci0", "1234", "00:11", "-"}, kNone},
    });
}

TEST_F(Completion, FilterTakesATestNumberAndPbufferRefreshNothing) {
    expectAll({
        {{"filter", ""}, {"0", "1", "2", "3", "4", "5", "6"}},
        {{"filter", "6", "p"}, {"pbuffer"}},
        {{"filter", "6", "pbuffer", ""}, kNone},
        {{"refresh", ""}, kNone},
    });
}

TEST_F(Completion, ServiceCommandsNamesArgumentWordsAndIntentKeys) {
    // Not "caf-", the listing's form of a name no word reaches; a call
    // needs an interface name, which no-interface and refusing do not give.
    const std::vector<std::string> names{"echo", "failing", "no-interface", "refusing"};
    const std::vector<std::string> callable{"echo", "failing"};
    const std::vector<std::string> arguments{"i32", "s16", "null", "intent"};
    expectAll({
        {{"service", ""}, {"list", "check", "call"}},
        {{"service", "c"}, {"check", "call"}},
        {{"service", "-"}, {"-h", "-?"}},
        {{"service", "-h", "l"}, {"list"}},
        {{"service", "list", ""}, kNone},
        {{"service", "check", ""}, names},
        {{"service", "check", "echo", ""}, kNone},
        {{"service", "call", "f"}, {"failing"}},
        {{"service", "call", ""}, callable},
        {{"service", "call", "echo", ""}, kNone},  // the code
        {{"service", "call", "echo", "1", ""}, arguments},
        {{"service", "call", "echo", "1", "i32", ""}, kNone},
        {{"service", "call", "echo", "1", "i32", "-5", "n"}, {"null"}},
        {{"service", "call", "echo", "1", "s16", "intent", ""}, arguments},
        {{"service", "call", "echo", "1", "bogus", ""}, kNone},
        {{"service", "call", "echo", "1", "intent", ""},
         {"action=", "data=", "type=", "component=", "launchFlags=", "categories="}},
        {{"service", "call", "echo", "1", "intent", "action", "=", ""}, kNone},
        {{"service", "call", "echo", "1", "intent", "action=x", "i32", "l"}, {"launchFlags="}},
    });
}

// The front command completes its programs, then hands over to theirs; the
// service names come through it, as the bare name is not on PATH.
TEST_F(Completion, VelmoraCompletesItsProgramsThenTheirArguments) {
    expectAll({
        {{"velmora", ""},
         {"agent", "service", "filter", "refresh", "filter-verify", "bluetooth-sim", "servicemanager",
          "demo-services"}},
        {{"velmora", "fil"}, {"filter", "filter-verify"}},
        {{"velmora", "-"}, {"-h", "--help", "--version"}},
        {{"velmora", "filter", ""}, {"0", "1", "2", "3", "4", "5", "6"}},
        {{"velmora", "filter-verify", "--t"}, {"--tolerance"}},
        {{"velmora", "agent", "-c", "Key"}, {"KeyboardOnly", "KeyboardDisplay"}},
        {{"velmora", "demo-services", "-"}, {"-n", "-h", "--help", "--version"}},
        {{"velmora", "bogus", ""}, kNone},
    });
    if (testsupport::emulated()) GTEST_SKIP() << "velmora cannot start the emulated service tool without binfmt_misc";
    EXPECT_EQ(complete({"velmora", "service", "call", ""}), (std::vector<std::string>{"echo", "failing"}));
}

// Sourced outside the sandbox, the file leaves the programs' names to the
// packages that own them (the init-script tool's `service`).
TEST_F(Completion, OnlyTheFrontCommandIsRegistered) {
    const Finished run = runProgram(
        {"bash", "--norc", "--noprofile", "-c", "source \"$1\"; complete -p", "driver", COMPLETIONS_FILE}, env);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "complete -F _velmora velmora\n");
}

TEST_F(Completion, ServiceNamesComeFromTheRunningManagerOnly) {
    startTestHost({"late-service:code"});
    EXPECT_EQ(complete({"service", "check", "la"}), std::vector<std::string>{"late-service"});
    env.push_back("VELMORA_SERVICE_MANAGER=" + tmp + "/no-manager-here");
    EXPECT_EQ(complete({"service", "check", ""}), kNone);
}

}  // namespace
