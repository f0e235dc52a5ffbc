#include "python/zone_search_path.hpp"

#include <Python.h>

#include <optional>
#include <string>
#include <vector>

#include "cron/zone_library.hpp"
#include "python/errors.hpp"
#include "python/py_ref.hpp"

namespace tyvo::py {
namespace {

// A path as the file system spells it (PEP 383: undecodable bytes survive the round trip).
std::optional<std::string> file_system_path(PyObject* path) {
  if (!PyUnicode_Check(path)) return std::nullopt;
  PyRef bytes = PyRef::steal(PyUnicode_EncodeFSDefault(path));
  if (!bytes) {
    PyErr_Clear();
    return std::nullopt;
  }
  return std::string(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
}

// The tzdata package's zoneinfo directory, or "" when the package is not installed as files.
std::string find_tzdata_directory() {
  PyRef util = PyRef::steal(PyImport_ImportModule("importlib.util"));
  PyRef module_spec =
      util ? PyRef::steal(PyObject_CallMethod(util.get(), "find_spec", "s", "tzdata")) : PyRef{};
  PyRef locations =
      module_spec && module_spec.get() != Py_None
          ? PyRef::steal(PyObject_GetAttrString(module_spec.get(), "submodule_search_locations"))
          : PyRef{};
  std::string directory;
  if (locations && locations.get() != Py_None) {
    PyRef sequence = PyRef::steal(PySequence_List(locations.get()));
    if (sequence && PyList_GET_SIZE(sequence.get()) > 0) {
      if (const auto path = file_system_path(PyList_GET_ITEM(sequence.get(), 0))) directory = *path + "/zoneinfo";
    }
  }
  // A missing or broken tzdata is not an error: zoneinfo would go without it too.
  PyErr_Clear();
  return directory;
}

}  // namespace

void share_zone_search_path() {
  // Guarded by the interpreter lock, not by a static initialiser: the import may release the lock,
  // and another thread waiting on the initialiser while holding it would deadlock.
  static std::optional<std::string> tzdata_directory;
  if (!tzdata_directory) {
    std::string found = find_tzdata_directory();
    if (!tzdata_directory) tzdata_directory = std::move(found);
  }
  PyRef zoneinfo = PyRef::steal(require(PyImport_ImportModule("zoneinfo")));
  PyRef tzpath = PyRef::steal(require(PyObject_GetAttrString(zoneinfo.get(), "TZPATH")));
  // reset_tzpath() installs a new tuple: the same object means the same directories. Leaked: a
  // static PyRef would be released by static destruction, after the interpreter is gone.
  static PyRef& handed_over = *new PyRef();
  if (tzpath.get() == handed_over.get()) return;
  PyRef entries = PyRef::steal(require(PySequence_List(tzpath.get())));
  std::vector<std::string> directories;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries.get()); ++i) {
    if (auto path = file_system_path(PyList_GET_ITEM(entries.get(), i))) directories.push_back(std::move(*path));
  }
  if (!tzdata_directory->empty()) directories.push_back(*tzdata_directory);
  cron::set_zone_search_path(std::move(directories));
  handed_over = std::move(tzpath);
}

}  // namespace tyvo::py
