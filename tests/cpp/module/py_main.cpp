// The binding layer's tests run in an embedded interpreter.
#include <Python.h>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    Py_InitializeEx(0);
    int rc = RUN_ALL_TESTS();
    if (Py_FinalizeEx() < 0) rc = 1;
    return rc;
}
