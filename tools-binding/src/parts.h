// The features of korvanthel_tools._native. module.cc creates the module
// and calls one add_* function per feature; each lives in its own files
// and adds its functions, classes and exceptions to the module.
//
// Each returns 0, or -1 with an exception set.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace korvanthel::tools {

// compile_policy, compile_policy_json, format_source, print_policy,
// canonical_policy_json, check_policy, CompileError, Diagnostic (language.cc).
int add_language(PyObject* module);

// replay_lines, replay_file, parse_ts, EventLineError, Replayer,
// pair_result_lines (replay_functions.cc, replayer.cc, result_pairs.cc).
int add_replay(PyObject* module);

// explain_events (explain.cc).
int add_explain(PyObject* module);

// read_event_line, split_by_session (event_lines.cc, session_split.cc).
int add_event_lines(PyObject* module);

}  // namespace korvanthel::tools
