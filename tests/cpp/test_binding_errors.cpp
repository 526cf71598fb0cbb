// An engine invariant violation reaches the host as the panic exception: a class named
// pyo3_runtime.PanicException derived directly from BaseException, carrying the message, after
// a diagnostic on standard error. Refusals and allocation failures map to their own classes.

#include <gtest/gtest.h>

#include <string>

#include "python/errors.hpp"

namespace krodan::python {
namespace {

std::string str_of(PyObject* obj) {
    Ref text(PyObject_Str(obj));
    return text ? PyUnicode_AsUTF8(text.get()) : "";
}

std::string attribute(PyObject* obj, const char* name) {
    Ref value(PyObject_GetAttrString(obj, name));
    return value ? str_of(value.get()) : "";
}

class Interpreter : public ::testing::Environment {
  public:
    void SetUp() override { Py_Initialize(); }
    void TearDown() override { Py_Finalize(); }
};

TEST(PanicException, IsOneBaseExceptionSubclassPerProcess) {
    PyObject* type = panic_exception();
    ASSERT_NE(type, nullptr);
    EXPECT_EQ(type, panic_exception());
    EXPECT_EQ(attribute(type, "__module__"), "pyo3_runtime");
    EXPECT_EQ(attribute(type, "__qualname__"), "PanicException");
    Ref bases(PyObject_GetAttrString(type, "__bases__"));
    ASSERT_EQ(PyTuple_GET_SIZE(bases.get()), 1);
    EXPECT_EQ(PyTuple_GET_ITEM(bases.get(), 0), PyExc_BaseException);
    EXPECT_FALSE(PyObject_IsSubclass(type, PyExc_Exception));
}

TEST(Guarded, InternalErrorBecomesThePanicExceptionAfterADiagnostic) {
    ::testing::internal::CaptureStderr();
    PyObject* result = guarded(
        []() -> PyObject* { throw InternalError("Invalid translation of (0,0) to (20,0)"); });
    const std::string diagnostic = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(result, nullptr);
    ASSERT_TRUE(PyErr_Occurred());
    EXPECT_TRUE(PyErr_ExceptionMatches(panic_exception()));
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    EXPECT_EQ(str_of(value), "Invalid translation of (0,0) to (20,0)");
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    EXPECT_NE(diagnostic.find("internal error"), std::string::npos) << diagnostic;
    EXPECT_NE(diagnostic.find("Invalid translation of (0,0) to (20,0)"), std::string::npos);
    EXPECT_NE(diagnostic.find("test_binding_errors.cpp"), std::string::npos) << "where it failed";
}

TEST(Guarded, AllocationFailureIsMemoryErrorAndResultsPassThrough) {
    EXPECT_EQ(guarded([]() -> PyObject* { throw std::bad_alloc(); }), nullptr);
    EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_MemoryError));
    PyErr_Clear();
    EXPECT_EQ(guarded([] { return Py_None; }), Py_None);
    EXPECT_EQ(guarded([] { return 7; }), 7);
    EXPECT_FALSE(PyErr_Occurred());
}

TEST(RaiseText, JoinsPrefixAndDetailWithEmbeddedNul) {
    EXPECT_EQ(raise_text(PyExc_ValueError, "Unknown reward mode ", std::string_view("a\0b", 3)),
              nullptr);
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    EXPECT_EQ(type, PyExc_ValueError);
    Py_ssize_t size;
    const char* text = PyUnicode_AsUTF8AndSize(value, &size);
    EXPECT_EQ(std::string(text, static_cast<std::size_t>(size)),
              std::string("Unknown reward mode a\0b", 23));
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
}

}  // namespace
}  // namespace krodan::python

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new krodan::python::Interpreter);
    return RUN_ALL_TESTS();
}
