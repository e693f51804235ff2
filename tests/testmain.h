#pragma once

#include "formats/registry.h"

#include <QTest>

// The tests' mains: the toolkit's, after the libraries are set up as the program's main()
// sets them up.
#define PARVIMAGE_TEST_MAIN(TestObject)                                                            \
    int main(int argc, char *argv[])                                                               \
    {                                                                                              \
        Formats::initialiseLibraries();                                                            \
        QTEST_MAIN_IMPL(TestObject)                                                                \
    }

#define PARVIMAGE_GUILESS_TEST_MAIN(TestObject)                                                    \
    int main(int argc, char *argv[])                                                               \
    {                                                                                              \
        Formats::initialiseLibraries();                                                            \
        QCoreApplication app(argc, argv);                                                          \
        app.setAttribute(Qt::AA_Use96Dpi, true);                                                   \
        TestObject tc;                                                                             \
        QTEST_SET_MAIN_SOURCE_PATH                                                                 \
        return QTest::qExec(&tc, argc, argv);                                                      \
    }
