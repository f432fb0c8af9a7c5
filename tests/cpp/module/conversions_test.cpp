#include <gtest/gtest.h>

#include "module/conversions.hpp"
#include "module/capi/args.hpp"
#include "py_support.hpp"

using namespace korvane;
using test::eval;
using test::outcome;

namespace {

// An expression and what converting its value gives: a text of the result,
// or the exception raised ("Type: message").
struct Case {
    const char* expr;
    std::string expected;
};

template <class ToText>
std::string converted(const char* expr, ToText to_text) {
    std::string got;
    auto r = outcome([&] { got = to_text(eval(expr).get()); });
    return r == "ok" ? got : r;
}

std::string bytes_of(PyObject* value) {
    auto b = serial::to_bytes(value);
    return std::string(b.begin(), b.end());
}
std::string baudrate_of(PyObject* value) { return std::to_string(serial::read_baudrate(value)); }
std::string bytesize_of(PyObject* value) { return std::to_string(serial::read_bytesize(value)); }
std::string timeout_of(PyObject* value) {
    Seconds s = settings::seconds_from_python(value);
    return s.is_int() ? "i:" + std::to_string(s.i) : "f:" + settings::float_text(s.f);
}

}  // namespace

TEST(PyConversions, ToBytes) {
    const Case cases[] = {
        {"b''", ""},
        {"''", ""},
        {"'\\u00e9'", "\xC3\xA9"},
        {"bytearray(b'ab')", "ab"},
        {"memoryview(b'xab')[1:]", "ab"},
        {"array.array('B', [97, 98])", "ab"},
        {"type('B', (bytes,), {})(b'hi')", "hi"},
        {"5", "TypeError: a bytes-like object or str is required, not 'int'"},
        {"None", "TypeError: a bytes-like object or str is required, not 'NoneType'"},
        {"[1]", "TypeError: a bytes-like object or str is required, not 'list'"},
        {"'\\ud800'", "UnicodeEncodeError: 'utf-8' codec can't encode character '\\ud800' in position 0: surrogates not allowed"},
    };
    for (const auto& c : cases) EXPECT_EQ(converted(c.expr, bytes_of), c.expected) << c.expr;
}

TEST(PyConversions, Describe) {
    EXPECT_EQ(serial::describe(eval("'x'").get()), "'x'");
    EXPECT_EQ(serial::describe(eval("type('R', (), {'__repr__': lambda s: 1/0})()").get()), "<unprintable>");
    EXPECT_EQ(serial::describe(eval("'\\ud800'").get()), "'\\ud800'");
    EXPECT_FALSE(PyErr_Occurred());
}

TEST(PyConversions, Baudrate) {
    const Case cases[] = {
        {"9600", "9600"},
        {"9600.9", "9600"},
        {"'9600'", "9600"},
        {"True", "1"},
        {"0", "0"},
        {"4294967295", "4294967295"},
        {"4294967296", "ValueError: Not a valid baudrate: 4294967296"},
        {"-1", "ValueError: Not a valid baudrate: -1"},
        {"2**64", "ValueError: Not a valid baudrate: 18446744073709551616"},
        {"'fast'", "ValueError: Not a valid baudrate: 'fast'"},
        {"None", "ValueError: Not a valid baudrate: None"},
        {"math.nan", "ValueError: Not a valid baudrate: nan"},
    };
    for (const auto& c : cases) EXPECT_EQ(converted(c.expr, baudrate_of), c.expected) << c.expr;
}

TEST(PyConversions, Bytesize) {
    const Case cases[] = {
        {"8", "8"},
        {"8.0", "8"},
        {"5", "5"},
        {"fractions.Fraction(7)", "7"},
        {"9", "ValueError: Not a valid byte size: 9"},
        {"4.0", "ValueError: Not a valid byte size: 4"},
        {"7.5", "ValueError: Not a valid byte size: 7.5"},
        {"'8'", "ValueError: Not a valid byte size: '8'"},
        {"True", "ValueError: Not a valid byte size: 1"},
        {"1e300", "ValueError: Not a valid byte size: 9223372036854775807"},
        {"-1e300", "ValueError: Not a valid byte size: -9223372036854775808"},
        {"math.inf", "ValueError: Not a valid byte size: inf"},
        {"math.nan", "ValueError: Not a valid byte size: nan"},
    };
    for (const auto& c : cases) EXPECT_EQ(converted(c.expr, bytesize_of), c.expected) << c.expr;
}

TEST(PyConversions, TimeoutFromPython) {
    const Case cases[] = {
        {"True", "i:1"},
        {"False", "i:0"},
        {"3", "i:3"},
        {"-1", "i:-1"},  // the sign is checked later
        {"2**63", "f:9.223372036854776e18"},
        {"0.5", "f:0.5"},
        {"fractions.Fraction(1, 4)", "f:0.25"},
        {"'1'", "ValueError: Not a valid timeout: '1'"},
        {"[]", "ValueError: Not a valid timeout: []"},
    };
    for (const auto& c : cases) EXPECT_EQ(converted(c.expr, timeout_of), c.expected) << c.expr;
}

TEST(PyConversions, NotesNameTheParameter) {
    auto r = outcome([&] { py::noted("baudrate", [&] { return serial::read_baudrate(eval("'fast'").get()); }); });
    EXPECT_EQ(r, "ValueError: Not a valid baudrate: 'fast' | while processing 'baudrate'");
    r = outcome([&] { py::noted("value", [&] { return serial::read_bytesize(eval("9").get()); }); });
    EXPECT_EQ(r, "ValueError: Not a valid byte size: 9 | while processing 'value'");
}

TEST(PyConversions, BaudrateEnum) {
    PyObject* e = serial::baudrate_enum();
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e, serial::baudrate_enum());
    py::Ref members = py::Ref::steal(PySequence_List(e));
    ASSERT_EQ(PyList_Size(members.get()), 30);
    py::Ref first_name = py::Ref::steal(PyObject_GetAttrString(PyList_GetItem(members.get(), 0), "name"));
    EXPECT_STREQ(PyUnicode_AsUTF8(first_name.get()), "B50");
    py::Ref last = py::Ref::steal(PyNumber_Long(PyList_GetItem(members.get(), 29)));
    EXPECT_EQ(PyLong_AsLong(last.get()), 4000000);
}
