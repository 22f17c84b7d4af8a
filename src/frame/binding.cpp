#include "frame/binding.hpp"

#include <cstring>
#include <string>

#include "frame/convert.hpp"
#include "frame/text.hpp"

namespace vuvirida::frame {

namespace {

std::string full_name(const FunctionDescription& d) {
    return std::string(d.name) + "()";
}

[[gnu::cold, gnu::noinline]] Error too_many_positional(const FunctionDescription& d,
                                                       Py_ssize_t given) {
    return Error::type_error(full_name(d) + " takes " + std::to_string(d.count) +
                             " positional arguments but " + std::to_string(given) + " were given");
}

[[gnu::cold, gnu::noinline]] Error multiple_values(const FunctionDescription& d,
                                                   const char* keyword) {
    return Error::type_error(full_name(d) + " got multiple values for argument '" + keyword + "'");
}

// The keyword as its str(), with what cannot be encoded replaced by U+FFFD.
[[gnu::cold, gnu::noinline]] Error unexpected_keyword(const FunctionDescription& d,
                                                      PyObject* name) {
    std::string text;
    OwnedRef rendered = OwnedRef::taking(PyObject_Str(name));
    OwnedRef bytes = OwnedRef::taking(
        rendered ? PyUnicode_AsEncodedString(rendered.get(), "utf-8", "surrogatepass") : nullptr);
    OwnedRef lenient =
        OwnedRef::taking(bytes ? PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bytes.get()),
                                                      PyBytes_GET_SIZE(bytes.get()), "replace")
                               : nullptr);
    const std::optional<std::string_view> utf8 = lenient ? utf8_of(lenient.get()) : std::nullopt;
    if (!utf8) return Error::fetch();
    return Error::type_error(full_name(d) + " got an unexpected keyword argument '" +
                             std::string(*utf8) + "'");
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
[[gnu::cold, gnu::noinline]] Error missing_positional(const FunctionDescription& d,
                                                      PyObject* const* slots, std::size_t from) {
    std::size_t k = 0;
    for (std::size_t i = from; i < d.count; ++i) {
        if (slots[i] == nullptr) ++k;
    }
    std::string list;
    for (std::size_t i = from, j = 0; i < d.count; ++i) {
        if (slots[i] != nullptr) continue;
        if (j > 0) list += (j + 1 == k) ? (k > 2 ? ", and " : " and ") : ", ";
        list += "'";
        list += d.parameters[i].name;
        list += "'";
        ++j;
    }
    return Error::type_error(full_name(d) + " missing " + std::to_string(k) +
                             " required positional " + (k == 1 ? "argument" : "arguments") + ": " +
                             list);
}

void intern_names(const FunctionDescription& d) {
    for (std::size_t i = 0; i < d.count; ++i) {
        if (interned(d.interned[i], d.parameters[i].name) == nullptr) {
            // Identity is only a shortcut; the byte comparison still decides.
            PyErr_Clear();
        }
    }
}

// The slot a keyword names, or count when it names none. Unencodable names
// name none.
std::size_t keyword_slot(const FunctionDescription& d, PyObject* name) {
    for (std::size_t i = 0; i < d.count; ++i) {
        if (d.interned[i].get() == name) return i;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name, &size);
    if (text == nullptr) {
        PyErr_Clear();
        return d.count;
    }
    for (std::size_t i = 0; i < d.count; ++i) {
        const char* parameter = d.parameters[i].name;
        if (std::strlen(parameter) == static_cast<std::size_t>(size) &&
            std::memcmp(parameter, text, static_cast<std::size_t>(size)) == 0) {
            return i;
        }
    }
    return d.count;
}

}  // namespace

Outcome<PyObject* const*> extract_arguments_fastcall(const FunctionDescription& d,
                                                     PyObject* const* args, Py_ssize_t nargs,
                                                     PyObject* kwnames, PyObject** slots) {
    const auto given = static_cast<std::size_t>(nargs);
    const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    if (given == d.count && keywords == 0) [[likely]]
        return args;
    if (given > d.count) return too_many_positional(d, nargs);
    for (std::size_t i = 0; i < d.count; ++i) slots[i] = i < given ? args[i] : nullptr;
    if (keywords > 0) {
        if (d.interned[d.count - 1].get() == nullptr) intern_names(d);
        for (Py_ssize_t k = 0; k < keywords; ++k) {
            PyObject* name = PyTuple_GET_ITEM(kwnames, k);
            if (!PyUnicode_Check(name)) return cannot_convert(name, "PyString");
            const std::size_t slot = keyword_slot(d, name);
            if (slot == d.count) return unexpected_keyword(d, name);
            if (slots[slot] != nullptr) return multiple_values(d, d.parameters[slot].name);
            slots[slot] = args[nargs + k];
        }
    }
    if (given < d.count) {
        for (std::size_t i = given; i < d.count; ++i) {
            if (slots[i] == nullptr) return missing_positional(d, slots, given);
        }
    }
    return static_cast<PyObject* const*>(slots);
}

}  // namespace vuvirida::frame
