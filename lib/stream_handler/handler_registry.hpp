#pragma once
// The registry of handler classes and the loading of handler modules.
//
// A handler module is a shared library with a dotted name (e.g. "examples.counting"), built with
// the CMake function vesk_add_handler_module, which passes the name to its sources. Each handler
// class in it is registered with VESK_REGISTER_HANDLER(Class), used at namespace scope in the
// namespace that declares the class and naming it as written there: a class C registers as "C",
// a class Inner nested in Outer as "Outer.Inner" (C++ "::" becomes "."). The class's handler
// path is then "<module>.<class>", e.g. "examples.counting.KeyCounter".
//
// Module files: the module "a.b" is the file "a.b.so". It is looked for in every directory of
// the environment variable VESK_HANDLER_PATH (colon-separated, in order) and then in the
// directory where the package installs handler modules (<libdir>/vesk/handlers).

#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <typeindex>
#include <typeinfo>
#include <vector>

namespace vesk {

class StreamHandlerBase;

// A handler class, module or path that cannot be found or loaded; the message names it.
class HandlerLookupError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class HandlerRegistry {
 public:
  using Factory = std::unique_ptr<StreamHandlerBase> (*)();

  struct Entry {
    std::string module_name;
    std::string class_name;  // qualified, with "." between nested names
    std::type_index type;
    Factory factory;
    std::string path() const { return module_name + "." + class_name; }
  };

  // The one registry of the process. Thread-safe.
  static HandlerRegistry& instance();

  // Called by VESK_REGISTER_HANDLER while a module initialises. Registering the same class
  // twice (a module loaded into a program that also compiled it) is harmless.
  void add(std::string module_name, std::string class_name, const std::type_info& type, Factory factory);

  // The entry of a run-time class; HandlerLookupError naming the class when it has none.
  Entry entry_of(const std::type_info& type) const;

  // Splits `path` at its last ".", loads the module (unless it is already loaded) and
  // constructs the class with no arguments. Each failure is a HandlerLookupError saying what
  // was missing: no ".", an invalid or unknown module, a module without that class.
  // A path "py:<module>.<class>" names a class written in Python: the handler module
  // "vesk.python" imports <module> from PYTHONPATH in an interpreter of this process and
  // constructs <class> (split at the last "." as well).
  std::unique_ptr<StreamHandlerBase> create(std::string_view path);

  // Loads the module with this dotted name from the search path (once per process) and
  // returns the file it was loaded from.
  std::string load_module(std::string_view module_name);

  // The directories searched for module files, in order.
  static std::vector<std::string> search_path();
  // The file name of a module: "a.b" → "a.b.so".
  static std::string module_file_name(std::string_view module_name);

 private:
  HandlerRegistry() = default;
  struct Impl;
  Impl& impl() const;
};

// Constructs the handler class named by `path` ("<module>.<class>"); see HandlerRegistry::create.
std::unique_ptr<StreamHandlerBase> create_stream_handler(std::string_view path);

namespace detail {

std::string qualified_class_name(std::string_view written);
const char* missing_module_name();

template <class C>
struct HandlerRegistrar {
  HandlerRegistrar(const char* module_name, const char* written_name) {
    HandlerRegistry::instance().add(module_name, qualified_class_name(written_name), typeid(C),
                                    []() -> std::unique_ptr<StreamHandlerBase> { return std::make_unique<C>(); });
  }
};

}  // namespace detail
}  // namespace vesk

// The module's dotted name, passed by vesk_add_handler_module as VESK_HANDLER_MODULE_NAME.
#ifdef VESK_HANDLER_MODULE_NAME
#define VESK_DETAIL_MODULE_NAME VESK_HANDLER_MODULE_NAME
#else
#define VESK_DETAIL_MODULE_NAME ::vesk::detail::missing_module_name()
#endif

#define VESK_DETAIL_CONCAT2(a, b) a##b
#define VESK_DETAIL_CONCAT(a, b) VESK_DETAIL_CONCAT2(a, b)

// VESK_REGISTER_HANDLER(Class): registers a handler class of this module (see above).
#define VESK_REGISTER_HANDLER(...)                                                                \
  [[maybe_unused]] static const ::vesk::detail::HandlerRegistrar<__VA_ARGS__> VESK_DETAIL_CONCAT( \
      vesk_handler_registrar_, __COUNTER__)(VESK_DETAIL_MODULE_NAME, #__VA_ARGS__)
