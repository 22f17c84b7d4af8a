// The time array's rule: its TypeErrors and its slow path.
#include "frame/time_array.hpp"

#include <string>

#include "frame/abort.hpp"
#include "frame/convert.hpp"
#include "frame/text.hpp"

namespace vuvirida::frame {

namespace {

[[gnu::cold, gnu::noinline]] Error dimensionality_mismatch(int nd) {
    return Error::type_error("dimensionality mismatch:\n from=" + std::to_string(nd) + ", to=1");
}

[[gnu::cold, gnu::noinline]] Error type_mismatch(PyObject* from, PyObject* to) {
    OwnedRef from_text = OwnedRef::taking(PyObject_Str(from));
    if (!from_text) return Error::fetch();
    OwnedRef to_text = OwnedRef::taking(PyObject_Str(to));
    if (!to_text) return Error::fetch();
    const std::optional<std::string_view> from_utf8 = utf8_of(from_text.get());
    const std::optional<std::string_view> to_utf8 =
        from_utf8 ? utf8_of(to_text.get()) : std::nullopt;
    if (!to_utf8) return Error::fetch();
    std::string message = "type mismatch:\n from=";
    message += *from_utf8;
    message += ", to=";
    message += *to_utf8;
    return Error::type_error(std::move(message));
}

[[noreturn, gnu::cold, gnu::noinline]] void not_contiguous(
    std::source_location where = std::source_location::current()) {
    panic("called `Result::unwrap()` on an `Err` value: NotContiguousError", where);
}

}  // namespace

Outcome<Done> check_time_array(PyObject* array) {
    const ArrayFields* fields = array_fields(array);
    if (fields->nd != 1) [[unlikely]]
        return dimensionality_mismatch(fields->nd);
    PyObject* wanted = float64_descr();
    if (fields->descr != wanted && !numpy_api().equiv_types(fields->descr, wanted)) {
        return type_mismatch(fields->descr, wanted);
    }
    return Done{};
}

Outcome<TimeView> TimeView::reading_checked(PyObject* time) {
    Outcome<Done> checked = extract_argument(check_time_array(time), "time");
    if (!checked.ok()) return std::move(checked.error());
    // The dtype was found equivalent to float64 by NumPy's own test, which runs
    // no Python code: the rest of the rule is checked against that descriptor.
    const ArrayFields* fields = array_fields(time);
    if (!holds_to_rule(fields, fields->descr)) not_contiguous();
    return TimeView(fields);
}

}  // namespace vuvirida::frame
