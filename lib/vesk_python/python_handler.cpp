// The handler module "vesk.python": runs a stream handler class written in Python inside a worker.
//
// It links libpython, so only a process that runs a Python handler loads it (through
// create_stream_handler("py:...")). One interpreter serves the whole process. The handler keeps
// its key states in a Python dict of plain Python objects, converted from and to Values only when
// the states are handed over and collected.

#include "vesk/loop/task.hpp"
#include "vesk/stream_handler/handler_registry.hpp"
#include "vesk/stream_handler/stream_handler.hpp"

#include <pybind11/embed.h>
#include <structmember.h>

#include <dlfcn.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>

#ifndef VESK_PYTHON_EXECUTABLE
#error "VESK_PYTHON_EXECUTABLE must name the interpreter whose library this module embeds"
#endif

namespace py = pybind11;

namespace vesk::python {
namespace {

// Python's own view of a message: key (bytes or None), value (bytes), timestamp and offset.
// Built in C so that a message costs two bytes objects and one small allocation.
struct MessageObject {
  PyObject_HEAD PyObject* key;  // bytes or None
  PyObject* value;              // bytes
  long long timestamp;
  long long offset;
};

PyTypeObject* message_type = nullptr;

PyObject* new_message(PyObject* key, PyObject* value, long long timestamp, long long offset) {
  auto* m = PyObject_New(MessageObject, message_type);
  if (m == nullptr) return nullptr;
  Py_INCREF(key);
  Py_INCREF(value);
  m->key = key;
  m->value = value;
  m->timestamp = timestamp;
  m->offset = offset;
  return reinterpret_cast<PyObject*>(m);
}

void message_dealloc(PyObject* self) {
  auto* m = reinterpret_cast<MessageObject*>(self);
  PyTypeObject* type = Py_TYPE(self);
  Py_XDECREF(m->key);
  Py_XDECREF(m->value);
  PyObject_Free(self);
  Py_DECREF(type);  // instances of a heap type hold a reference to it
}

PyObject* message_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"key", "value", "timestamp", "offset", nullptr};
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  long long timestamp = 0;
  long long offset = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|LL:Message", const_cast<char**>(names), &key, &value, &timestamp,
                                   &offset)) {
    return nullptr;
  }
  if (key != Py_None && !PyBytes_Check(key)) {
    PyErr_Format(PyExc_TypeError, "Message key must be bytes or None, not %.200s", Py_TYPE(key)->tp_name);
    return nullptr;
  }
  if (!PyBytes_Check(value)) {
    PyErr_Format(PyExc_TypeError, "Message value must be bytes, not %.200s", Py_TYPE(value)->tp_name);
    return nullptr;
  }
  return new_message(key, value, timestamp, offset);
}

PyObject* message_repr(PyObject* self) {
  auto* m = reinterpret_cast<MessageObject*>(self);
  return PyUnicode_FromFormat("Message(key=%R, value=%R, timestamp=%lld, offset=%lld)", m->key, m->value, m->timestamp,
                              m->offset);
}

PyMemberDef message_members[] = {
    {"key", T_OBJECT, offsetof(MessageObject, key), READONLY, "the key bytes, or None"},
    {"value", T_OBJECT, offsetof(MessageObject, value), READONLY, "the value bytes"},
    {"timestamp", T_LONGLONG, offsetof(MessageObject, timestamp), READONLY, "the timestamp"},
    {"offset", T_LONGLONG, offsetof(MessageObject, offset), READONLY, "the offset in its partition"},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot message_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(&message_dealloc)},
    {Py_tp_new, reinterpret_cast<void*>(&message_new)},
    {Py_tp_repr, reinterpret_cast<void*>(&message_repr)},
    {Py_tp_members, message_members},
    {Py_tp_doc,
     const_cast<char*>("One message of the stream: key (bytes or None), value (bytes), timestamp and offset.")},
    {0, nullptr},
};

PyType_Spec message_spec = {"_vesk.Message", sizeof(MessageObject), 0, Py_TPFLAGS_DEFAULT, message_slots};

}  // namespace
}  // namespace vesk::python

// The module the package `vesk` takes its Message type from inside a worker.
PYBIND11_EMBEDDED_MODULE(_vesk, m) {
  PyObject* type = PyType_FromSpec(&vesk::python::message_spec);
  if (type == nullptr) throw py::error_already_set();
  vesk::python::message_type = reinterpret_cast<PyTypeObject*>(type);
  m.add_object("Message", py::reinterpret_steal<py::object>(type));
}

namespace vesk::python {
namespace {

// Holds the interpreter's lock for one scope, from whichever thread calls in.
class Gil {
 public:
  Gil() : _state(PyGILState_Ensure()) {}
  ~Gil() { PyGILState_Release(_state); }
  Gil(const Gil&) = delete;
  Gil& operator=(const Gil&) = delete;

 private:
  PyGILState_STATE _state;
};

// Owns one reference.
using Ref = py::object;
Ref steal(PyObject* p) { return py::reinterpret_steal<py::object>(p); }
Ref borrow(PyObject* p) { return py::reinterpret_borrow<py::object>(p); }

std::string type_name(PyObject* type) {
  Ref name = steal(PyObject_GetAttrString(type, "__qualname__"));
  if (name && PyUnicode_Check(name.ptr())) {
    if (const char* text = PyUnicode_AsUTF8(name.ptr())) return text;
  }
  PyErr_Clear();
  return reinterpret_cast<PyTypeObject*>(type)->tp_name;
}

// The pending Python error as "<Type>: <message>" (the type alone for an empty message); clears it.
std::string take_error_text() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return "unknown Python error";
  PyErr_NormalizeException(&type, &value, &traceback);
  Ref t = steal(type), v = steal(value), tb = steal(traceback);
  std::string text = type_name(t.ptr());
  if (v) {
    Ref message = steal(PyObject_Str(v.ptr()));
    Py_ssize_t size = 0;
    const char* data = message ? PyUnicode_AsUTF8AndSize(message.ptr(), &size) : nullptr;
    if (data != nullptr && size > 0) text += ": " + std::string(data, static_cast<std::size_t>(size));
    PyErr_Clear();
  }
  return text;
}

// A Python error that a handler raised while it processed a message: what() is "<Type>: <message>".
class PythonError : public std::runtime_error {
 public:
  PythonError() : std::runtime_error(take_error_text()) {}
};

// A state that is not plain data. Its place inside the key's state is added step by step while
// the error passes up through the containers, so that a walk that succeeds builds no text.
class StateTypeError : public std::exception {
 public:
  explicit StateTypeError(std::string problem, std::string advice = "")
      : _problem(std::move(problem)), _advice(std::move(advice)) {}
  void within(std::string step) {
    if (_place.size() < 200) _place = std::move(step) + _place;
  }
  std::string text() const {
    return _problem + (_place.empty() ? "" : " (at state" + _place.substr(0, 200) + ")") + _advice;
  }
  const char* what() const noexcept override { return _problem.c_str(); }

 private:
  std::string _problem, _place, _advice;
};

constexpr int max_state_depth = 1000;

[[noreturn]] void unsupported(PyObject* object) {
  throw StateTypeError("a state cannot hold a Python '" + type_name(reinterpret_cast<PyObject*>(Py_TYPE(object))) + "'",
                       ": states are plain data, None, bool, int (64-bit), float, str, bytes, list, tuple and dict");
}

std::string index_step(Py_ssize_t index) { return "[" + std::to_string(index) + "]"; }

std::string key_step(PyObject* key) {
  Ref repr = steal(PyObject_Repr(key));
  const char* text = repr ? PyUnicode_AsUTF8(repr.ptr()) : nullptr;
  if (text == nullptr) PyErr_Clear();
  return "[" + (text ? std::string(text).substr(0, 80) : std::string("?")) + "]";
}

std::int64_t to_int64(PyObject* object) {
  int overflow = 0;
  long long n = PyLong_AsLongLongAndOverflow(object, &overflow);
  if (overflow != 0) throw StateTypeError("a state cannot hold an int beyond 64 bits");
  if (n == -1 && PyErr_Occurred()) throw PythonError();
  return n;
}

std::string_view utf8_of(PyObject* text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) {
    PyErr_Clear();
    throw StateTypeError("a state cannot hold a str that is not valid UTF-8 (a lone surrogate)");
  }
  return {data, static_cast<std::size_t>(size)};
}

std::string_view bytes_of(PyObject* bytes) {
  return {PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes))};
}

void check_depth(int depth) {
  if (depth > max_state_depth) {
    throw StateTypeError("a state nests deeper than " + std::to_string(max_state_depth) + " levels, or holds itself");
  }
}

// Plain Python data → Value. Only the exact types: a subclass (a defaultdict, an IntEnum) would
// come back from a state file as its base type, so it is refused rather than changed silently.
Value to_value(PyObject* object, int depth) {
  PyTypeObject* type = Py_TYPE(object);
  if (object == Py_None) return Value();
  if (type == &PyBool_Type) return Value(object == Py_True);
  if (type == &PyLong_Type) return Value(to_int64(object));
  if (type == &PyFloat_Type) return Value(PyFloat_AS_DOUBLE(object));
  if (type == &PyUnicode_Type) return Value(utf8_of(object));
  if (type == &PyBytes_Type) return Value::bytes(std::string(bytes_of(object)));
  check_depth(depth);
  if (type == &PyList_Type || type == &PyTuple_Type) {
    const bool list = type == &PyList_Type;
    std::vector<Value> items;
    const Py_ssize_t n = list ? PyList_GET_SIZE(object) : PyTuple_GET_SIZE(object);
    items.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      try {
        items.push_back(to_value(list ? PyList_GET_ITEM(object, i) : PyTuple_GET_ITEM(object, i), depth + 1));
      } catch (StateTypeError& e) {
        e.within(index_step(i));
        throw;
      }
    }
    if (list) return Value(std::move(items));
    return Value(Tuple{std::move(items)});
  }
  if (type == &PyDict_Type) {
    Dict dict;
    dict.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(object)));
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(object, &pos, &key, &value)) {
      try {
        dict.append_unique(to_value(key, depth + 1), to_value(value, depth + 1));
      } catch (StateTypeError& e) {
        e.within(key_step(key));
        throw;
      }
    }
    return Value(std::move(dict));
  }
  unsupported(object);
}

// The same walk, written straight into a pickle.
void write_value(pickle::Writer& writer, PyObject* object, int depth) {
  PyTypeObject* type = Py_TYPE(object);
  if (object == Py_None) return writer.none();
  if (type == &PyBool_Type) return writer.boolean(object == Py_True);
  if (type == &PyLong_Type) return writer.integer(to_int64(object));
  if (type == &PyFloat_Type) return writer.floating(PyFloat_AS_DOUBLE(object));
  if (type == &PyUnicode_Type) return writer.text(utf8_of(object));
  if (type == &PyBytes_Type) return writer.bytes(bytes_of(object));
  check_depth(depth);
  if (type == &PyList_Type || type == &PyTuple_Type) {
    const bool list = type == &PyList_Type;
    list ? writer.begin_list() : writer.begin_tuple();
    const Py_ssize_t n = list ? PyList_GET_SIZE(object) : PyTuple_GET_SIZE(object);
    for (Py_ssize_t i = 0; i < n; ++i) {
      try {
        write_value(writer, list ? PyList_GET_ITEM(object, i) : PyTuple_GET_ITEM(object, i), depth + 1);
      } catch (StateTypeError& e) {
        e.within(index_step(i));
        throw;
      }
    }
    return list ? writer.end_list() : writer.end_tuple();
  }
  if (type == &PyDict_Type) {
    writer.begin_dict();
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(object, &pos, &key, &value)) {
      try {
        write_value(writer, key, depth + 1);
        write_value(writer, value, depth + 1);
      } catch (StateTypeError& e) {
        e.within(key_step(key));
        throw;
      }
    }
    return writer.end_dict();
  }
  unsupported(object);
}

Ref checked(PyObject* p) {
  if (p == nullptr) throw PythonError();
  return steal(p);
}

// Value → Python; every Value has a Python counterpart.
Ref to_python(const Value& value) {
  switch (value.kind()) {
    case Value::Kind::none: return borrow(Py_None);
    case Value::Kind::boolean: return borrow(value.as_bool() ? Py_True : Py_False);
    case Value::Kind::integer: return checked(PyLong_FromLongLong(value.as_int()));
    case Value::Kind::floating: return checked(PyFloat_FromDouble(value.as_float()));
    case Value::Kind::text: {
      const std::string& s = value.as_text();
      return checked(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "strict"));
    }
    case Value::Kind::bytes: {
      const std::string& s = value.as_bytes();
      return checked(PyBytes_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
    }
    case Value::Kind::list: {
      const List& items = value.as_list();
      Ref list = checked(PyList_New(static_cast<Py_ssize_t>(items.size())));
      for (std::size_t i = 0; i < items.size(); ++i) {
        PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(i), to_python(items[i]).release().ptr());
      }
      return list;
    }
    case Value::Kind::tuple: {
      const std::vector<Value>& items = value.as_tuple();
      Ref tuple = checked(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
      for (std::size_t i = 0; i < items.size(); ++i) {
        PyTuple_SET_ITEM(tuple.ptr(), static_cast<Py_ssize_t>(i), to_python(items[i]).release().ptr());
      }
      return tuple;
    }
    case Value::Kind::dict: {
      Ref dict = checked(PyDict_New());
      for (const auto& [k, v] : value.as_dict()) {
        Ref key = to_python(k);
        Ref item = to_python(v);
        if (PyDict_SetItem(dict.ptr(), key.ptr(), item.ptr()) != 0) throw PythonError();
      }
      return dict;
    }
  }
  throw TypeError("unknown value kind");
}

// Starts the interpreter once per process. Its extension modules (asyncio's _contextvars, ...)
// look for libpython's symbols in the global scope, but handler modules are loaded with
// RTLD_LOCAL: so libpython, and only libpython, is made global first.
void start_interpreter() {
  static std::once_flag once;
  std::call_once(once, [] {
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&Py_InitializeFromConfig), &info) == 0 || info.dli_fname == nullptr ||
        ::dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_GLOBAL) == nullptr) {
      const char* why = ::dlerror();
      throw HandlerLookupError(std::string("cannot make libpython's symbols global: ") + (why ? why : "not found"));
    }
    PyConfig config;
    PyConfig_InitPythonConfig(&config);
    // The host's signal handling stays as it is (the engine's SIGINT and SIGTERM handling).
    config.install_signal_handlers = 0;
    config.parse_argv = 0;
    // A worker ends by being killed: what a handler prints must not wait in a buffer.
    config.buffered_stdio = 0;
    // The standard library is found from this interpreter's location, not from whichever
    // python3 comes first on PATH.
    PyStatus status = PyConfig_SetBytesString(&config, &config.program_name, VESK_PYTHON_EXECUTABLE);
    if (!PyStatus_Exception(status)) status = Py_InitializeFromConfig(&config);
    PyConfig_Clear(&config);
    if (PyStatus_Exception(status)) {
      throw HandlerLookupError(std::string("cannot start the Python interpreter: ") +
                               (status.err_msg ? status.err_msg : "unknown error"));
    }
    // The package `vesk` that matches this module: <dir of this module>/../python, where a build
    // tree or a CMake install keeps it. A pip install has it in site-packages instead.
    Dl_info self{};
    if (::dladdr(reinterpret_cast<void*>(&start_interpreter), &self) != 0 && self.dli_fname != nullptr) {
      std::string file = self.dli_fname;
      std::string dir = file.substr(0, file.rfind('/') == std::string::npos ? 0 : file.rfind('/'));
      std::string package_dir = (dir.empty() ? std::string(".") : dir) + "/../python";
      std::error_code ec;
      if (!std::filesystem::is_directory(package_dir, ec)) package_dir.clear();
      if (!package_dir.empty()) {
        Ref sys_path = borrow(PySys_GetObject("path"));
        Ref entry = steal(PyUnicode_DecodeFSDefault(package_dir.c_str()));
        if (sys_path && entry) PyList_Insert(sys_path.ptr(), 0, entry.ptr());
        PyErr_Clear();
      }
    }
    // Every later call takes the lock itself (Gil), from whichever thread it runs on.
    PyEval_SaveThread();
  });
}

// Tasks and timers that a handler starts on the worker's asyncio loop run while the worker waits
// for its next message: a task on the worker's own loop runs them as they fall due, and ends
// when the asyncio loop has nothing left.
class Pump {
 public:
  // Called after each message: starts the pump when the asyncio loop has work queued.
  static void after_message(PyObject* worker) {
    if (_running || !has_due_work(worker)) return;
    EventLoop* loop = EventLoop::try_running();
    if (loop == nullptr) return;
    _running = true;
    // step() reports a handler's failures itself, on the worker's output.
    fire_and_forget(*loop, run(borrow(worker).release().ptr()), null_logger(), "The asyncio pump");
  }

 private:
  // Seconds until more is due, or a negative number when nothing is left. Never throws: an
  // error of a handler's own task is its own, reported like any handler failure.
  static double step(PyObject* worker) {
    Gil gil;
    Ref wait = steal(PyObject_CallMethod(worker, "run_due", nullptr));
    if (!wait) {
      std::string line = "Worker process error: " + take_error_text() + "\n";
      loop_ran();
      std::fwrite(line.data(), 1, line.size(), stdout);
      std::fflush(stdout);
      return 0.01;
    }
    loop_ran();
    return wait.ptr() == Py_None ? -1 : PyFloat_AsDouble(wait.ptr());
  }

  static Awaitable<void> run(PyObject* worker) {  // owns one reference to `worker`
    struct Release {
      PyObject* p;
      ~Release() {
        _running = false;
        Gil gil;
        Py_DECREF(p);
      }
    } release{worker};
    for (double wait = step(worker); wait >= 0; wait = step(worker)) {
      co_await sleep(std::chrono::duration<double>(wait));
    }
  }

  // Looks at the asyncio loop's queues directly: this runs after every message.
  static bool has_due_work(PyObject* worker) {
    if (_ready == nullptr) {
      Ref loop = steal(PyObject_CallMethod(worker, "loop", nullptr));
      if (!loop) throw PythonError();
      _ready = PyObject_GetAttrString(loop.ptr(), "_ready");  // the same deque for the loop's life
      if (_ready == nullptr) throw PythonError();
      _loop = loop.release().ptr();
      loop_ran();
    }
    return PyObject_Length(_ready) > 0 || (_scheduled != nullptr && PyObject_Length(_scheduled) > 0);
  }

 public:
  // The loop replaces its list of timers only while it runs: looked up again after each run.
  static void loop_ran() {
    if (_loop == nullptr) return;
    PyObject* scheduled = PyObject_GetAttrString(_loop, "_scheduled");
    if (scheduled == nullptr) PyErr_Clear();
    Py_XSETREF(_scheduled, scheduled);
  }

 private:
  static inline bool _running = false;
  // The worker's asyncio loop, its ready queue and its timers, held for the life of the process.
  static inline PyObject* _loop = nullptr;
  static inline PyObject* _ready = nullptr;
  static inline PyObject* _scheduled = nullptr;
};

class PythonHandler final : public StreamHandlerBase {
 public:
  explicit PythonHandler(std::string path) : _path(std::move(path)) {
    const std::string_view dotted = std::string_view(_path).substr(3);
    const std::size_t dot = dotted.rfind('.');
    if (dot == std::string_view::npos || dot == 0 || dot + 1 == dotted.size()) {
      throw HandlerLookupError("invalid Python handler path '" + _path +
                               "': expected 'py:<module>.<class>', such as 'py:counters.WordCounter'");
    }
    const std::string module_name(dotted.substr(0, dot));
    const std::string class_name(dotted.substr(dot + 1));
    start_interpreter();
    Gil gil;
    try {
      Ref module = steal(PyImport_ImportModule(module_name.c_str()));
      if (!module) throw lookup("cannot import its module '" + module_name + "'");
      Ref cls = steal(PyObject_GetAttrString(module.ptr(), class_name.c_str()));
      if (!cls) throw lookup("module '" + module_name + "' has no class '" + class_name + "'");
      _instance = steal(PyObject_CallNoArgs(cls.ptr()));
      if (!_instance) throw lookup("cannot construct " + class_name + "()");
      _process = steal(PyObject_GetAttrString(_instance.ptr(), "process"));
      if (!_process) throw lookup(class_name + " has no process(message, state)");
      _worker = steal(PyImport_ImportModule("vesk._worker"));
      _finish = _worker ? steal(PyObject_GetAttrString(_worker.ptr(), "finish")) : Ref();
      if (!_finish) throw lookup("the package vesk it imported is not the one that comes with vesk.python");
      _states = steal(PyDict_New());
    } catch (...) {
      _instance = Ref();
      _process = Ref();
      _worker = Ref();
      _finish = Ref();
      throw;
    }
  }

  ~PythonHandler() override {
    Gil gil;
    _states = Ref();
    _finish = Ref();
    _worker = Ref();
    _process = Ref();
    _instance = Ref();
  }

  std::string get_module_path() const override { return _path; }

  void load_key_states(Dict states) override {
    Gil gil;
    Ref loaded = steal(PyDict_New());
    for (const auto& [key, value] : states) {
      if (!key.is_text()) throw TypeError("state map key " + key.repr() + " is not text");
      Ref k = to_python(key);
      Ref v = to_python(value);
      if (PyDict_SetItem(loaded.ptr(), k.ptr(), v.ptr()) != 0) throw PythonError();
    }
    _states = std::move(loaded);
  }

  void write_key_states(pickle::Writer& writer) const override {
    Gil gil;
    writer.reserve(32 * static_cast<std::size_t>(PyDict_GET_SIZE(_states.ptr())));
    writer.begin_dict();
    each_state([&](PyObject*, std::string_view text, PyObject* state) {
      writer.text(text);
      write_value(writer, state, 0);
    });
    writer.end_dict();
  }

  Awaitable<void> process_message(const Message& message, const std::string& key) override {
    run(message, key);
    if (_loop_ready) {
      Gil gil;
      Pump::after_message(_worker.ptr());
    }
    co_return;
  }

 private:
  // The handler could not be made: names the path and the Python error behind it.
  HandlerLookupError lookup(const std::string& what) const {
    std::string why = PyErr_Occurred() ? ": " + take_error_text() : std::string();
    return HandlerLookupError("cannot load the Python handler '" + _path + "': " + what + why);
  }

  // Calls f(key object, key text, state) for every held state; a state that is not plain data
  // is an error that names its key and its Python type.
  template <class F>
  void each_state(F&& f) const {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* state = nullptr;
    while (PyDict_Next(_states.ptr(), &pos, &key, &state)) {
      Py_ssize_t size = 0;
      const char* data = PyUnicode_AsUTF8AndSize(key, &size);
      if (data == nullptr) throw PythonError();
      std::string_view text(data, static_cast<std::size_t>(size));
      try {
        f(key, text, state);
      } catch (const StateTypeError& e) {
        throw TypeError("key '" + std::string(text) + "': " + e.text());
      }
    }
  }

  void run(const Message& message, const std::string& key) {
    Gil gil;
    Ref k = steal(PyUnicode_DecodeUTF8(key.data(), static_cast<Py_ssize_t>(key.size()), "strict"));
    if (!k) throw PythonError();
    Ref key_bytes = message.key ? steal(PyBytes_FromStringAndSize(message.key->data(),
                                                                  static_cast<Py_ssize_t>(message.key->size())))
                                : borrow(Py_None);
    Ref value = steal(PyBytes_FromStringAndSize(message.value.data(), static_cast<Py_ssize_t>(message.value.size())));
    if (!key_bytes || !value) throw PythonError();
    Ref m = steal(new_message(key_bytes.ptr(), value.ptr(), message.timestamp, message.offset));
    if (!m) throw PythonError();
    PyObject* current = PyDict_GetItemWithError(_states.ptr(), k.ptr());  // borrowed
    if (current == nullptr && PyErr_Occurred()) throw PythonError();
    // The state stays in the dict while process runs: a failing call leaves it as it was.
    PyObject* args[] = {m.ptr(), current != nullptr ? current : Py_None};
    Ref result = steal(PyObject_Vectorcall(_process.ptr(), args, 2, nullptr));
    if (!result) throw PythonError();
    if (PyCoro_CheckExact(result.ptr())) result = complete(std::move(result));
    if (result.ptr() == Py_None) {
      if (current != nullptr && PyDict_DelItem(_states.ptr(), k.ptr()) != 0) throw PythonError();
    } else if (PyDict_SetItem(_states.ptr(), k.ptr(), result.ptr()) != 0) {
      throw PythonError();
    }
  }

  // Runs a coroutine to its end. One that never suspends ends in its first step, without an
  // event loop; one that awaits real asyncio work goes on on the worker's kept loop.
  Ref complete(Ref coroutine) {
    if (!_loop_ready) {
      // Created before the first step, so that the coroutine finds it running when it awaits.
      Ref loop = steal(PyObject_CallMethod(_worker.ptr(), "loop", nullptr));
      if (!loop) throw PythonError();
      _loop_ready = true;
    }
    PyObject* out = nullptr;
    PySendResult sent = PyIter_Send(coroutine.ptr(), Py_None, &out);
    if (sent == PYGEN_RETURN) return steal(out);
    if (sent == PYGEN_ERROR) throw PythonError();
    Ref yielded = steal(out);
    Ref result = steal(PyObject_CallFunctionObjArgs(_finish.ptr(), coroutine.ptr(), yielded.ptr(), nullptr));
    if (!result) {
      PythonError error;
      Pump::loop_ran();
      throw error;
    }
    Pump::loop_ran();
    return result;
  }

  std::string _path;
  Ref _instance;
  Ref _process;
  Ref _worker;
  Ref _finish;
  Ref _states;  // key text (str) → state (plain data)
  bool _loop_ready = false;
};

}  // namespace
}  // namespace vesk::python

// Looked up by the handler registry for "py:" paths. Throws HandlerLookupError when the class
// cannot be loaded.
extern "C" __attribute__((visibility("default"))) vesk::StreamHandlerBase* vesk_python_create_handler(const char* path) {
  return new vesk::python::PythonHandler(path);
}
