#include "python/arguments.hpp"

#include <string_view>
#include <vector>

#include "python/errors.hpp"

namespace tyvo::py {
namespace {

// Appends instead of chaining operator+, which g++ 12 misreads as an overlapping copy (-Wrestrict).
std::string concat(std::initializer_list<std::string_view> parts) {
  std::string text;
  for (std::string_view part : parts) text.append(part);
  return text;
}

std::string count_phrase(std::size_t count, const char* singular, const char* plural) {
  return concat({std::to_string(count), " ", count == 1 ? singular : plural});
}

[[noreturn]] void raise_too_many_positional(const Signature& signature, std::size_t given) {
  const std::size_t most = signature.names.size();
  std::string takes =
      most == signature.required
          ? std::to_string(most)
          : concat({"from ", std::to_string(signature.required), " to ", std::to_string(most)});
  raise(PyExc_TypeError,
        concat({signature.function, "() takes ", takes,
                most == 1 && most == signature.required ? " positional argument" : " positional arguments",
                " but ", std::to_string(given), given == 1 ? " was" : " were", " given"}));
}

[[noreturn]] void raise_missing(const Signature& signature, const std::vector<const char*>& missing) {
  std::string names;
  for (std::size_t i = 0; i < missing.size(); ++i) {
    if (i > 0) names.append((i + 1 == missing.size()) ? (missing.size() > 2 ? ", and " : " and ") : ", ");
    names.append(concat({"'", missing[i], "'"}));
  }
  raise(PyExc_TypeError,
        concat({signature.function, "() missing ",
                count_phrase(missing.size(), "required positional argument", "required positional arguments"),
                ": ", names}));
}

// Places one keyword argument into its slot.
void bind_keyword(const Signature& signature, PyObject* key, PyObject* value, std::span<PyObject*> bound) {
  if (!PyUnicode_Check(key)) raise(PyExc_TypeError, "keywords must be strings");
  std::size_t index = 0;
  for (const char* name : signature.names) {
    if (PyUnicode_CompareWithASCIIString(key, name) == 0) {
      if (bound[index] != nullptr) {
        raise(PyExc_TypeError,
              concat({signature.function, "() got multiple values for argument '", name, "'"}));
      }
      bound[index] = value;
      return;
    }
    ++index;
  }
  raise(PyExc_TypeError, concat({signature.function, "() got an unexpected keyword argument '",
                                 message_text(key), "'"}));
}

void check_required(const Signature& signature, std::span<PyObject*> bound) {
  std::vector<const char*> missing;
  std::size_t index = 0;
  for (const char* name : signature.names) {
    if (index < signature.required && bound[index] == nullptr) missing.push_back(name);
    ++index;
  }
  if (!missing.empty()) raise_missing(signature, missing);
}

void bind_positional(const Signature& signature, PyObject* const* args, std::size_t count,
                     std::span<PyObject*> bound) {
  if (count > signature.names.size()) raise_too_many_positional(signature, count);
  for (std::size_t i = 0; i < bound.size(); ++i) bound[i] = i < count ? args[i] : nullptr;
}

}  // namespace

void bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::span<PyObject*> bound) {
  const auto positional = static_cast<std::size_t>(PyVectorcall_NARGS(nargs));
  bind_positional(signature, args, positional, bound);
  if (kwnames != nullptr) {
    const Py_ssize_t keywords = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < keywords; ++i) {
      bind_keyword(signature, PyTuple_GET_ITEM(kwnames, i), args[positional + std::size_t(i)], bound);
    }
  }
  check_required(signature, bound);
}

void bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs,
                    std::span<PyObject*> bound) {
  const auto positional = static_cast<std::size_t>(PyTuple_GET_SIZE(args));
  bind_positional(signature, &PyTuple_GET_ITEM(args, 0), positional, bound);
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &key, &value)) bind_keyword(signature, key, value, bound);
  }
  check_required(signature, bound);
}

void raise_conversion_error(const char* parameter, PyObject* value, const char* target) {
  raise(PyExc_TypeError, concat({"argument '", parameter, "': '", type_name(value),
                                 "' object cannot be converted to '", target, "'"}));
}

std::string utf8_argument(PyObject* value, const char* parameter) {
  if (!PyUnicode_Check(value)) raise_conversion_error(parameter, value, "PyString");
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(value, &size);
  if (text == nullptr) throw PythonErrorSet{};
  return std::string(text, std::size_t(size));
}

}  // namespace tyvo::py
