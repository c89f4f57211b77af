// Where the list is looked for, from the executable's own path.
#include <gtest/gtest.h>

#include <string>

#include "driver/list_path.h"

namespace {

std::string list_path_of(const char* exe) { return form_list_path(exe).value_or("(none)"); }

TEST(ListPath, IsBesideTheExecutableWhateverItsName) {
    EXPECT_EQ(list_path_of("C:\\APPS\\TOOL\\CLEAN.EXE"), "C:\\APPS\\TOOL\\zelk.lst");
    EXPECT_EQ(list_path_of("/usr/local/bin/zelk"), "/usr/local/bin/zelk.lst");
    EXPECT_EQ(list_path_of("D:/mixed\\sep/x.exe"), "D:/mixed\\sep/zelk.lst");
    EXPECT_EQ(list_path_of("C:zelk.exe"), "C:zelk.lst");
    EXPECT_EQ(list_path_of("zelk"), "zelk.lst");
}

// The list path itself is composed in full; a folder part over the platform's limit is none.
TEST(ListPath, FolderLongerThanItsLimitIsNoPath) {
    std::string folder = "/" + std::string(5000, 'd') + "/";
    EXPECT_EQ(list_path_of((folder + "zelk").c_str()), "(none)");
    EXPECT_EQ(list_path_of("/usr/bin/zelk"), "/usr/bin/zelk.lst");
}

}  // namespace
