// The cases of the fault matrix: which ways each outside call is made to
// go wrong, which fault of the simulated host does it, and what the run
// must then do.
#pragma once
#include <string>
#include <vector>

#include "tests/support/simhost.h"

namespace fault_matrix {

enum class program { backup, restore };

enum class fault_kind {
    fail,            // non-zero exit with a message
    missing,         // exit 127, "command not found"
    garbage_random,  // 512 random bytes, exit 0
    garbage_empty,   // one empty line, exit 0
    garbage_huge,    // 1 MiB of text, exit 0
    garbage_nul,     // a NUL byte amid text, exit 0
    hang,            // never ends: the program's time limit must end it
    sig_term,        // our program gets SIGTERM while the call runs
    sig_int,
    sig_hup,
    sig_kill,        // ... or SIGKILL, and the next run repairs
};

// One case: the nth call of `tool` (its position in the clean run's call
// log is `position`, its arguments `args`) goes wrong as `kind`.
struct case_def {
    program prog = program::backup;
    int position = 0;
    std::string tool;
    int nth = 0;
    std::string args;
    fault_kind kind = fault_kind::fail;
};

struct case_result {
    std::string status;           // "exit 1", "signal 15"
    bool tolerated = false;       // a fault the run may get over, and did
    std::vector<std::string> broken;  // the invariants it broke
    std::string detail;           // call log and output, when broken
};

// What a run does about a fault it may legitimately get over: it ends with
// status 0 (and, when log_line is set, says so in that line).
struct expectation {
    bool tolerated = false;
    std::string why;
    std::string log_line;
    // The engine said it succeeded (status 0) without doing its work: the
    // run takes its word, so what it stored or wrote is not looked at.
    bool engine_took_at_its_word = false;
};

const char *kind_name(fault_kind k);
// The signal of a signal case, else 0.
int signal_of(fault_kind k);
// The tools whose calls the matrix covers.
bool is_outside_tool(const std::string &tool);
// The simulated host's fault that makes the case.
vlt_test::fault_spec fault_for(const case_def &c);
// Words of which an ERROR line must hold one: the tool's name, or what the
// call was about (the volume, the snapshot, the job).
std::vector<std::string> names_of(const case_def &c);
expectation expected_outcome(const case_def &c);
// Every case for the calls of one clean run (only the slice's with slice).
std::vector<case_def> cases_of(program p, const std::vector<vlt_test::call_record> &calls, bool slice);
// The slice's cases that the calls did not provide, one per line.
std::string missing_slice_cases(const std::vector<case_def> &cases);

}  // namespace fault_matrix
