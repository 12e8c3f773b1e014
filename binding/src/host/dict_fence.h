// ZELVO_DICT_IN_PLACE: whether this build may read a dict's table in place
// (see dict_layout.h). 1 only for CPython 3.11 with the interpreter lock,
// the one layout that reading was written against, and only where the
// ZELVO_PUBLIC_DICT_API build option does not leave it out.
//
// Includes nothing but the interpreter's configuration and version
// headers, so that dict_layout.cc can decide before Python.h whether it
// needs the internal headers.
#pragma once

#include <patchlevel.h>
#include <pyconfig.h>

#if !defined(ZELVO_PUBLIC_DICT_API) && !defined(Py_GIL_DISABLED) && PY_VERSION_HEX >= 0x030B0000 && \
    PY_VERSION_HEX < 0x030C0000
#define ZELVO_DICT_IN_PLACE 1
#else
#define ZELVO_DICT_IN_PLACE 0
#endif
