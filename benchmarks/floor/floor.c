/* The floor: the least work any extension can do for one decision.
 *
 * evaluate(event_type, fields) takes the same arguments as
 * PolicyEngine.evaluate, reads every field (recursing into lists and dicts,
 * reading each scalar as a native value), and returns a fresh dict with the
 * result dictionary's seven keys, interned once, with fresh empty lists.
 * Nothing from Python can answer faster; the benchmarks report every engine
 * as a multiple of it.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static PyObject *k_verdict, *k_reason, *k_triggered, *k_time, *k_actions, *k_violations, *k_constraints;
static PyObject *v_allow;
static volatile long long sink;

static int read_value(PyObject *v, int depth) {
  if (depth > 64) return 0;
  if (PyUnicode_Check(v)) {
    Py_ssize_t n = 0;
    const char *s = PyUnicode_AsUTF8AndSize(v, &n);
    if (s == NULL) return -1;
    sink += n + (n ? s[0] : 0);
  } else if (PyBool_Check(v)) {
    sink += v == Py_True;
  } else if (PyLong_Check(v)) {
    int overflow = 0;
    sink += PyLong_AsLongLongAndOverflow(v, &overflow);
  } else if (PyFloat_Check(v)) {
    sink += (long long)PyFloat_AS_DOUBLE(v);
  } else if (PyList_Check(v)) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(v); ++i) {
      if (read_value(PyList_GET_ITEM(v, i), depth + 1) < 0) return -1;
    }
  } else if (PyDict_Check(v)) {
    Py_ssize_t pos = 0;
    PyObject *key, *item;
    while (PyDict_Next(v, &pos, &key, &item)) {
      if (read_value(key, depth + 1) < 0 || read_value(item, depth + 1) < 0) return -1;
    }
  }
  return 0;
}

static int put_new_list(PyObject *dict, PyObject *key) {
  PyObject *list = PyList_New(0);
  if (list == NULL) return -1;
  int rc = PyDict_SetItem(dict, key, list);
  Py_DECREF(list);
  return rc;
}

static PyObject *floor_evaluate(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
  (void)self;
  if (nargs < 1 || nargs > 2 || !PyUnicode_Check(args[0])) {
    PyErr_SetString(PyExc_TypeError, "evaluate(event_type, fields=None)");
    return NULL;
  }
  if (read_value(args[0], 0) < 0) return NULL;
  if (nargs == 2 && args[1] != Py_None) {
    if (!PyDict_Check(args[1])) {
      PyErr_SetString(PyExc_TypeError, "fields must be a dict");
      return NULL;
    }
    if (read_value(args[1], 0) < 0) return NULL;
  }
  PyObject *result = _PyDict_NewPresized(7);
  if (result == NULL) return NULL;
  PyObject *zero = PyLong_FromLong(0);
  if (zero == NULL || PyDict_SetItem(result, k_verdict, v_allow) < 0 ||
      PyDict_SetItem(result, k_reason, Py_None) < 0 || put_new_list(result, k_triggered) < 0 ||
      PyDict_SetItem(result, k_time, zero) < 0 || put_new_list(result, k_actions) < 0 ||
      put_new_list(result, k_violations) < 0 || put_new_list(result, k_constraints) < 0) {
    Py_XDECREF(zero);
    Py_DECREF(result);
    return NULL;
  }
  Py_DECREF(zero);
  return result;
}

/* drive(decide, events, passes): calls decide(event_type, fields) for every
 * (event_type, fields) pair of the list `events`, `passes` times over, from C,
 * dropping each result; returns the number of calls. The instruction-count
 * benchmark collects inside this function only, so that the interpreter's
 * loop and its start-up are not counted. */
static PyObject *floor_drive(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
  (void)self;
  if (nargs != 3 || !PyList_Check(args[1]) || !PyLong_Check(args[2])) {
    PyErr_SetString(PyExc_TypeError, "drive(decide, events: list, passes: int)");
    return NULL;
  }
  long passes = PyLong_AsLong(args[2]);
  if (passes < 0 && PyErr_Occurred()) return NULL;
  long long calls = 0;
  for (long p = 0; p < passes; ++p) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(args[1]); ++i) {
      PyObject *pair = PyList_GET_ITEM(args[1], i);
      if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) {
        PyErr_SetString(PyExc_TypeError, "events must be (event_type, fields) pairs");
        return NULL;
      }
      PyObject *call_args[2] = {PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1)};
      PyObject *result = PyObject_Vectorcall(args[0], call_args, 2, NULL);
      if (result == NULL) return NULL;
      Py_DECREF(result);
      ++calls;
    }
  }
  return PyLong_FromLongLong(calls);
}

static PyMethodDef floor_methods[] = {
    {"drive", (PyCFunction)(void (*)(void))floor_drive, METH_FASTCALL,
     "drive(decide, events, passes)\n--\n\nCall decide(*pair) for every pair of events, passes times."},
    {"evaluate", (PyCFunction)(void (*)(void))floor_evaluate, METH_FASTCALL,
     "evaluate(event_type, fields=None)\n--\n\nRead every field; return a fresh seven-key result dict."},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef floor_module = {PyModuleDef_HEAD_INIT, "zelvo_floor", NULL, -1, floor_methods};

PyMODINIT_FUNC PyInit_zelvo_floor(void) {
  if ((k_verdict = PyUnicode_InternFromString("verdict")) == NULL ||
      (k_reason = PyUnicode_InternFromString("reason")) == NULL ||
      (k_triggered = PyUnicode_InternFromString("triggered_rules")) == NULL ||
      (k_time = PyUnicode_InternFromString("eval_time_us")) == NULL ||
      (k_actions = PyUnicode_InternFromString("actions")) == NULL ||
      (k_violations = PyUnicode_InternFromString("violations")) == NULL ||
      (k_constraints = PyUnicode_InternFromString("constraint_violations")) == NULL ||
      (v_allow = PyUnicode_InternFromString("allow")) == NULL) {
    return NULL;
  }
  return PyModule_Create(&floor_module);
}
