#pragma once

#include "formats/registry.h"

#include <QCoreApplication>
#include <QDir>
#include <QTest>

// The tests' mains: the toolkit's own, whose initMain() hook sets the libraries up before the
// application exists, as the program's main() does.
#define PARVIMAGE_MAIN_WITH(MainMacro, TestObject)                                                 \
    struct TestObject##Main : TestObject                                                           \
    {                                                                                              \
        static void initMain()                                                                     \
        {                                                                                          \
            /* Never the developer's own saved settings: a folder no test writes to. */            \
            qputenv("XDG_CONFIG_HOME",                                                             \
                    QDir::tempPath().toLocal8Bit() + "/parvimage-tests-no-config");                \
            Formats::initialiseLibraries();                                                        \
        }                                                                                          \
    };                                                                                             \
    MainMacro(TestObject##Main)

#define PARVIMAGE_TEST_MAIN(TestObject) PARVIMAGE_MAIN_WITH(QTEST_MAIN, TestObject)
#define PARVIMAGE_GUILESS_TEST_MAIN(TestObject) PARVIMAGE_MAIN_WITH(QTEST_GUILESS_MAIN, TestObject)
