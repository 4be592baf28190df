#include "vesk/stream_handler/stream_handler.hpp"

#include "vesk/stream_handler/handler_registry.hpp"

#include <cxxabi.h>
#include <dlfcn.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <stdexcept>
#include <utility>

#ifndef VESK_HANDLER_INSTALL_DIR
#error "VESK_HANDLER_INSTALL_DIR must name the directory where handler modules are installed"
#endif

namespace vesk {

CollectionError::CollectionError(std::string key, const std::string& reason)
    : std::runtime_error("key '" + key + "': " + reason), _key(std::move(key)) {}

StreamHandlerBase::~StreamHandlerBase() = default;

void StreamHandlerBase::write_key_state_changes(pickle::Writer&) const {
  throw std::logic_error("this stream handler does not keep track of its key state changes");
}

Awaitable<void> StreamHandlerBase::process_messages(std::span<const Message* const> batch,
                                                    const ProcessFailed& failed) {
  for (const Message* message : batch) {
    std::exception_ptr failure;
    try {
      co_await process_message(*message, *message->key);
    } catch (...) {
      failure = std::current_exception();
    }
    if (failure) failed(*message, failure);
  }
}

std::string StreamHandlerBase::get_module_path() const {
  return HandlerRegistry::instance().entry_of(typeid(*this)).path();
}

namespace {

std::string demangle(const char* name) {
  int status = 0;
  std::unique_ptr<char, decltype(&std::free)> out(abi::__cxa_demangle(name, nullptr, nullptr, &status), &std::free);
  return status == 0 && out ? std::string(out.get()) : std::string(name);
}

bool is_identifier(std::string_view part) {
  if (part.empty()) return false;
  auto alpha = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; };
  if (!alpha(part.front())) return false;
  for (char c : part) {
    if (!alpha(c) && !(c >= '0' && c <= '9')) return false;
  }
  return true;
}

// Module names become file names: only dotted identifiers, so no name can reach outside the
// search directories.
bool is_module_name(std::string_view name) {
  std::size_t start = 0;
  while (true) {
    std::size_t dot = name.find('.', start);
    if (!is_identifier(name.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start)))
      return false;
    if (dot == std::string_view::npos) return true;
    start = dot + 1;
  }
}

bool is_regular_file(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string quoted(std::string_view s) { return "'" + std::string(s) + "'"; }

}  // namespace

struct HandlerRegistry::Impl {
  mutable std::mutex mutex;
  std::vector<Entry> entries;
  std::map<std::string, std::string, std::less<>> loaded_modules;  // module name → file

  const Entry* find_type(const std::type_info& type) const {
    for (const auto& e : entries) {
      if (e.type == std::type_index(type)) return &e;
    }
    return nullptr;
  }
  const Entry* find_class(std::string_view module_name, std::string_view class_name) const {
    for (const auto& e : entries) {
      if (e.module_name == module_name && e.class_name == class_name) return &e;
    }
    return nullptr;
  }
  bool has_module(std::string_view module_name) const {
    for (const auto& e : entries) {
      if (e.module_name == module_name) return true;
    }
    return loaded_modules.find(module_name) != loaded_modules.end();
  }
};

HandlerRegistry& HandlerRegistry::instance() {
  static HandlerRegistry registry;
  return registry;
}

HandlerRegistry::Impl& HandlerRegistry::impl() const {
  static Impl impl;
  return impl;
}

void HandlerRegistry::add(std::string module_name, std::string class_name, const std::type_info& type,
                          Factory factory) {
  auto& im = impl();
  std::lock_guard lock(im.mutex);
  if (im.find_type(type) != nullptr) return;
  im.entries.push_back(Entry{std::move(module_name), std::move(class_name), std::type_index(type), factory});
}

HandlerRegistry::Entry HandlerRegistry::entry_of(const std::type_info& type) const {
  auto& im = impl();
  std::lock_guard lock(im.mutex);
  const Entry* entry = im.find_type(type);
  if (entry == nullptr) {
    throw HandlerLookupError("stream handler class " + demangle(type.name()) +
                             " is not registered: add VESK_REGISTER_HANDLER for it in its handler module");
  }
  if (entry->module_name.empty()) {
    throw HandlerLookupError("stream handler class " + demangle(type.name()) +
                             " was compiled without a module name: build it with vesk_add_handler_module");
  }
  return *entry;
}

namespace {

// The handler directory of the installation this library belongs to: <libdir>/vesk/handlers
// beside the library itself, so that a package moved after its build (a Python wheel installed
// into a virtual environment) finds its own modules; otherwise the configured install location.
std::string installed_handler_dir() {
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&installed_handler_dir), &info) != 0 && info.dli_fname != nullptr) {
    std::error_code ec;
    const auto library = std::filesystem::canonical(info.dli_fname, ec);
    if (!ec) {
      const auto dir = library.parent_path() / "vesk" / "handlers";
      if (std::filesystem::is_directory(dir, ec)) return dir.string();
    }
  }
  return VESK_HANDLER_INSTALL_DIR;
}

}  // namespace

std::vector<std::string> HandlerRegistry::search_path() {
  std::vector<std::string> dirs;
  if (const char* env = std::getenv("VESK_HANDLER_PATH")) {
    std::string_view rest(env);
    while (true) {
      std::size_t colon = rest.find(':');
      std::string_view dir = rest.substr(0, colon);
      if (!dir.empty()) dirs.emplace_back(dir);
      if (colon == std::string_view::npos) break;
      rest.remove_prefix(colon + 1);
    }
  }
  dirs.push_back(installed_handler_dir());
  return dirs;
}

std::string HandlerRegistry::module_file_name(std::string_view module_name) { return std::string(module_name) + ".so"; }

std::string HandlerRegistry::load_module(std::string_view module_name) {
  if (!is_module_name(module_name)) {
    throw HandlerLookupError("invalid handler module name " + quoted(module_name) +
                             ": expected dotted identifiers such as 'examples.counting'");
  }
  auto& im = impl();
  {
    std::lock_guard lock(im.mutex);
    if (auto found = im.loaded_modules.find(module_name); found != im.loaded_modules.end()) return found->second;
  }
  const std::string file_name = module_file_name(module_name);
  std::string searched;
  for (const auto& dir : search_path()) {
    std::string file = dir + "/" + file_name;
    if (!is_regular_file(file)) {
      searched += searched.empty() ? dir : ":" + dir;
      continue;
    }
    // Modules stay loaded for the life of the process: their classes are in the registry.
    void* handle = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (handle == nullptr) {
      const char* why = ::dlerror();
      throw HandlerLookupError("cannot load handler module " + quoted(module_name) + " from " + file + ": " +
                               (why ? why : "unknown error"));
    }
    std::lock_guard lock(im.mutex);
    im.loaded_modules.emplace(std::string(module_name), file);
    return file;
  }
  throw HandlerLookupError("no handler module named " + quoted(module_name) + ": " + file_name +
                           " is in none of the directories " + searched +
                           " (VESK_HANDLER_PATH, then the install location)");
}

namespace {

constexpr std::string_view python_prefix = "py:";
constexpr const char* python_module = "vesk.python";

// A handler class written in Python ("py:<module>.<class>") is run by the handler module
// "vesk.python", which embeds the interpreter: only processes that run such a class load it.
std::unique_ptr<StreamHandlerBase> create_python_handler(std::string_view path) {
  std::string file;
  try {
    file = HandlerRegistry::instance().load_module(python_module);
  } catch (const HandlerLookupError& e) {
    throw HandlerLookupError("cannot load the Python handler '" + std::string(path) +
                             "': Python handlers need the handler module vesk.python (built when python3-dev "
                             "and pybind11-dev are installed): " +
                             e.what());
  }
  void* handle = ::dlopen(file.c_str(), RTLD_NOW | RTLD_NOLOAD);
  using Create = StreamHandlerBase* (*)(const char*);
  auto create = handle ? reinterpret_cast<Create>(::dlsym(handle, "vesk_python_create_handler")) : nullptr;
  if (create == nullptr) {
    throw HandlerLookupError("handler module '" + std::string(python_module) + "' (" + file +
                             ") does not run Python handlers: it has no vesk_python_create_handler");
  }
  return std::unique_ptr<StreamHandlerBase>(create(std::string(path).c_str()));
}

}  // namespace

std::unique_ptr<StreamHandlerBase> HandlerRegistry::create(std::string_view path) {
  if (path.substr(0, python_prefix.size()) == python_prefix) return create_python_handler(path);
  const std::size_t dot = path.rfind('.');
  if (dot == std::string_view::npos) {
    throw HandlerLookupError("invalid stream handler path " + quoted(path) +
                             ": expected '<module>.<class>', with at least one '.'");
  }
  const std::string_view module_name = path.substr(0, dot);
  const std::string_view class_name = path.substr(dot + 1);
  auto& im = impl();
  Factory factory = nullptr;
  {
    std::lock_guard lock(im.mutex);
    if (const Entry* e = im.find_class(module_name, class_name)) factory = e->factory;
  }
  if (factory == nullptr) {
    const std::string file = load_module(module_name);
    std::lock_guard lock(im.mutex);
    const Entry* e = im.find_class(module_name, class_name);
    if (e == nullptr) {
      throw HandlerLookupError("handler module " + quoted(module_name) + " (" + file + ") has no class " +
                               quoted(class_name) + " registered with VESK_REGISTER_HANDLER");
    }
    factory = e->factory;
  }
  return factory();
}

std::unique_ptr<StreamHandlerBase> create_stream_handler(std::string_view path) {
  return HandlerRegistry::instance().create(path);
}

namespace detail {

std::string qualified_class_name(std::string_view written) {
  std::string out;
  out.reserve(written.size());
  for (std::size_t i = 0; i < written.size(); ++i) {
    char c = written[i];
    if (c == ' ') continue;
    if (c == ':' && i + 1 < written.size() && written[i + 1] == ':') {
      if (!out.empty()) out += '.';  // a leading "::" names the global namespace
      ++i;
      continue;
    }
    out += c;
  }
  return out;
}

const char* missing_module_name() { return ""; }

}  // namespace detail
}  // namespace vesk
