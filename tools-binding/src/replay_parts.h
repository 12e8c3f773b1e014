// Internal to the replay feature of korvanthel_tools._native (add_replay):
// the pieces its files share.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "replay/change_groups.h"
#include "replay/summary.h"
#include "replay/trace_files.h"

namespace korvanthel::tools {

// The summary of a replay as host values (see _native.pyi, ReplaySummary).
// With files, each mismatch and bad line is named by "file" and its "line"
// there, "order" keeping its number through the whole trace.
PyObject* summary_to_host(const zelvo::replay::ReplaySummary& summary, const zelvo::replay::TraceFiles& files);

// The groups of a replay against a second policy as a list of tuples
// (replay_changes.cc), or null with an exception set.
PyObject* changes_to_host(const zelvo::replay::ChangeGroups& changes);

// Adds the Replayer class (replayer.cc). 0, or -1 with an exception set.
int add_replayer(PyObject* module);

// Adds pair_result_lines (result_pairs.cc). 0, or -1 with an exception set.
int add_result_pairs(PyObject* module);

}  // namespace korvanthel::tools
