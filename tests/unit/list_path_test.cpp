// Where the list is looked for, from the executable's own path.
#include <gtest/gtest.h>

#include <string>

#include "driver/list_path.h"

namespace {

std::string list_path_of(const char* exe, std::size_t size = 300) {
    char buf[300];
    return form_list_path(exe, buf, size) == 0 ? buf : "(none)";
}

TEST(ListPath, IsBesideTheExecutableWhateverItsName) {
    EXPECT_EQ(list_path_of("C:\\APPS\\TOOL\\CLEAN.EXE"), "C:\\APPS\\TOOL\\zelk.lst");
    EXPECT_EQ(list_path_of("/usr/local/bin/zelk"), "/usr/local/bin/zelk.lst");
    EXPECT_EQ(list_path_of("D:/mixed\\sep/x.exe"), "D:/mixed\\sep/zelk.lst");
    EXPECT_EQ(list_path_of("C:zelk.exe"), "C:zelk.lst");
    EXPECT_EQ(list_path_of("zelk"), "zelk.lst");
}

TEST(ListPath, DoesNotFitItsBuffer) {
    EXPECT_EQ(list_path_of("/usr/bin/zelk", 17), "(none)");
    EXPECT_EQ(list_path_of("/usr/bin/zelk", 18), "/usr/bin/zelk.lst");
}

}  // namespace
