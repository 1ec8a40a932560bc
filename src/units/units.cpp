// Millimetres to points, the text of a millimetre value, and fitting an
// image size into a page size.
//
// Each function has a short path for exact ints and floats, where C double
// arithmetic gives the runtime's results bit for bit, and otherwise runs on
// the runtime's number protocol, so that any number type behaves as it would
// in Python and big ints never overflow. The short paths that stand in for
// round are taken only while the round kept at initialisation is the
// runtime's own. A call with exactly the positional arguments tries the short
// path straight from the function's entry, before any binding; the bodies
// try it too, for calls that bind by keyword.
#include "../functions/bodies.hpp"
#include "../functions/constants.hpp"

#include <charconv>
#include <cmath>
#include <limits>
#include <optional>

namespace pdfm {
namespace {

// x * 100 must be exact in a long double.
static_assert(std::numeric_limits<long double>::digits >= 60);

constexpr long long max_exact_int = 1LL << 53;

// A builtin float, or a builtin int that a double holds exactly. On these the
// runtime's arithmetic is IEEE double arithmetic: ints convert without
// rounding, and its true division of two such ints is the correctly rounded
// quotient, which is what dividing the two doubles gives.
struct Exact {
    double value;
    PyObject* int_object;  // the int itself, or nullptr for a float
};

std::optional<Exact> exact(PyObject* o) {
    if (PyFloat_CheckExact(o)) return Exact{PyFloat_AS_DOUBLE(o), nullptr};
    if (PyLong_CheckExact(o)) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (overflow == 0 && v >= -max_exact_int && v <= max_exact_int)
            return Exact{static_cast<double>(v), o};
    }
    return std::nullopt;
}

// mm * 72 / 25.4 in C arithmetic, for a builtin float, or a builtin int whose
// product with 72 a double holds exactly; nullopt for any other value.
std::optional<double> points_exact(PyObject* mm) {
    if (PyFloat_CheckExact(mm)) return PyFloat_AS_DOUBLE(mm) * points_per_inch / mm_per_inch;
    if (auto m = exact(mm)) {
        long long product = static_cast<long long>(m->value) * points_per_inch;
        if (product >= -max_exact_int && product <= max_exact_int)
            return static_cast<double>(product) / mm_per_inch;
    }
    return std::nullopt;
}

// round(x, 2) * 100 as an integral long double, for finite x below 1e13: the
// product is exact, and rounding it half to even is the runtime's correctly
// rounded decimal rounding of the exact value of x.
std::optional<long double> hundredths(double x) {
    if (!(std::fabs(x) < 1e13)) return std::nullopt;
    return std::nearbyintl(static_cast<long double>(x) * 100.0L);
}

// round(x, 2) for a double.
Ref round2(double x) {
    if (auto h = hundredths(x)) return new_float(static_cast<double>(*h) / 100.0);
    return round(new_float(x), int_<2>());
}

// Text from ASCII characters.
Ref ascii_text(const char* begin, const char* end) {
    return Ref::steal(PyUnicode_DecodeASCII(begin, end - begin, nullptr));
}

// str(round(x, 2)) from its hundredths: below 1e15 hundredths the shortest
// text of the rounded float is the decimal itself, trailing zeros dropped
// down to one decimal.
Ref two_decimal_text(long double h) {
    auto n = static_cast<unsigned long long>(std::fabs(h));
    char buffer[48];
    char* end = buffer;
    if (std::signbit(h)) *end++ = '-';
    end = std::to_chars(end, buffer + sizeof buffer, n / 100).ptr;
    const auto cents = static_cast<unsigned>(n % 100);
    *end++ = '.';
    *end++ = static_cast<char>('0' + cents / 10);
    if (cents % 10 != 0) *end++ = static_cast<char>('0' + cents % 10);
    return ascii_text(buffer, end);
}

// format_mm_value on a float below 1e15: the text of the whole number, or
// of round(v, 2) while round is the runtime's own; nullopt otherwise.
std::optional<Ref> mm_text_exact(double v) {
    if (!(std::fabs(v) < 1e15)) return std::nullopt;
    if (std::trunc(v) == v) {
        char buffer[24];
        return ascii_text(buffer, std::to_chars(buffer, buffer + sizeof buffer,
                                                static_cast<long long>(v)).ptr);
    }
    if (builtins.round_is_builtin)
        if (auto h = hundredths(v)) return two_decimal_text(*h);
    return std::nullopt;
}

// scale_image_to_pdf on exact numbers; nullopt where the runtime would raise
// or the values leave the exact range.
std::optional<Ref> scale_exact(PyObject* iw, PyObject* ih, PyObject* pw, PyObject* ph) {
    auto w = exact(iw), h = exact(ih), page_w = exact(pw), page_h = exact(ph);
    if (!w || !h || !page_w || !page_h || h->value == 0) return std::nullopt;
    const double aspect_ratio = w->value / h->value;
    if (w->value > page_w->value || h->value > page_h->value) {
        if (page_w->value == 0 || page_h->value == 0) return std::nullopt;
        if (w->value / page_w->value > h->value / page_h->value) {
            if (aspect_ratio == 0) return std::nullopt;
            w = page_w;
            h = Exact{page_w->value / aspect_ratio, nullptr};
        } else {
            h = page_h;
            w = Exact{page_h->value * aspect_ratio, nullptr};
        }
    }
    // round(int, 2) is the int itself
    Ref width = w->int_object ? Ref::borrow(w->int_object) : round2(w->value);
    Ref height = h->int_object ? Ref::borrow(h->int_object) : round2(h->value);
    return tuple_of(width, height);
}

// The short paths: each gives what its body gives on the numbers it takes.

// A builtin float, or a builtin int of one digit (its product with 72 is
// exact); everything else is left to the body. The choice is made before
// anything is called, so that a call it leaves to the body costs nothing.
PyObject* mm_to_pt_short(PyObject* const* args) {
    PyObject* mm = args[0];
    double pt;
    if (PyFloat_CheckExact(mm)) {
        pt = PyFloat_AS_DOUBLE(mm) * points_per_inch / mm_per_inch;
    } else if (PyLong_CheckExact(mm) &&
               PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(mm))) {
        const long long product =
            PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(mm)) * points_per_inch;
        pt = static_cast<double>(product) / mm_per_inch;
    } else {
        return nullptr;
    }
    return new_float(pt).release();
}

// Only a builtin float is taken: converting anything else may run its code.
PyObject* format_mm_value_short(PyObject* const* args) {
    if (!PyFloat_CheckExact(args[0])) return nullptr;
    auto text = mm_text_exact(PyFloat_AS_DOUBLE(args[0]));
    return text ? text->release() : nullptr;
}

PyObject* scale_image_to_pdf_short(PyObject* const* args) {
    if (!builtins.round_is_builtin) return nullptr;
    auto result = scale_exact(args[0], args[1], args[2], args[3]);
    return result ? result->release() : nullptr;
}

}  // namespace

// The short paths compute the result at the line of the return statement.
PyObject* mm_to_pt_entry(PyObject* self, PyObject* const* args, size_t nargsf,
                         PyObject* kwnames) {
    return entry_with<mm_to_pt_short, 18>(self, args, nargsf, kwnames);
}
PyObject* format_mm_value_entry(PyObject* self, PyObject* const* args, size_t nargsf,
                                PyObject* kwnames) {
    return entry_with<format_mm_value_short, 124>(self, args, nargsf, kwnames);
}
PyObject* scale_image_to_pdf_entry(PyObject* self, PyObject* const* args, size_t nargsf,
                                   PyObject* kwnames) {
    return entry_with<scale_image_to_pdf_short, 218>(self, args, nargsf, kwnames);
}

Ref mm_to_pt(Call& c) {
    auto [mm] = c.args<1>();
    c.at(18);
    if (auto pt = points_exact(mm)) return new_float(*pt);
    return div(mul(mm, int_<points_per_inch>()), float_<mm_per_inch>());
}

Ref format_mm_value(Call& c) {
    auto [val] = c.args<1>();  // already a float
    c.at(124);
    if (auto text = mm_text_exact(PyFloat_AS_DOUBLE(val))) return std::move(*text);
    Ref whole = to_int(val);
    if (eq(val, whole)) return str(whole);
    return str(round(val, int_<2>()));
}

Ref scale_image_to_pdf(Call& c) {
    auto [image_width_mm, image_height_mm, pdf_width_mm, pdf_height_mm] = c.args<4>();
    c.at(218);  // the exact path fails only where the result is built
    if (builtins.round_is_builtin)
        if (auto result = scale_exact(image_width_mm, image_height_mm, pdf_width_mm, pdf_height_mm))
            return std::move(*result);
    Ref width = Ref::borrow(image_width_mm);
    Ref height = Ref::borrow(image_height_mm);
    c.at(209);
    Ref aspect_ratio = div(width, height);
    c.at(210);
    if (gt(width, pdf_width_mm) || gt(height, pdf_height_mm)) {
        c.at(212);
        Ref width_share = div(width, pdf_width_mm);
        Ref height_share = div(height, pdf_height_mm);
        if (gt(width_share, height_share)) {
            width = Ref::borrow(pdf_width_mm);
            c.at(214);
            height = div(pdf_width_mm, aspect_ratio);
        } else {
            height = Ref::borrow(pdf_height_mm);
            c.at(217);
            width = mul(pdf_height_mm, aspect_ratio);
        }
    }
    c.at(218);
    Ref rounded_width = round(width, int_<2>());
    return tuple_of(rounded_width, round(height, int_<2>()));
}

}  // namespace pdfm
