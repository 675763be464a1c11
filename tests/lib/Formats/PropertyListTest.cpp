#include <gtest/gtest.h>
#include <string>
#include <vector>
#include "Formats/PropertyList.h"

namespace {

TEST(PropertyList, TheExecutableIsReadFromXmlAndBinaryLists) {
    EXPECT_EQ(PropertyListString("<plist><dict><key>CFBundleName</key><string>x</string>\n"
                                 "<key>CFBundleExecutable</key>\n\t<string>Tom &amp; Jerry</string></dict></plist>",
                                 "CFBundleExecutable"),
              "Tom & Jerry");
    EXPECT_EQ(
        PropertyListString("<plist><dict><key>CFBundleExecutable</key><true/></dict></plist>", "CFBundleExecutable"),
        "");
    // bplist00: a dictionary of two keys, one value ASCII, one UTF-16.
    std::string list = "bplist00";
    std::vector<size_t> offsets;
    auto add = [&](const std::string& object) {
        offsets.push_back(list.size());
        list += object;
    };
    add(std::string("\xD2\x01\x02\x03\x04", 5));
    add("\x52Id");
    add(std::string("\x5F\x10\x12", 3) + "CFBundleExecutable");
    add("\x51x");
    add(std::string("\x62\x00S\x00\xE9", 5));
    const size_t table = list.size();
    for (size_t offset : offsets) list += char(offset);
    std::string trailer(6, '\0');
    trailer += '\x01';
    trailer += '\x01';
    for (uint64_t value : {uint64_t(offsets.size()), uint64_t(0), uint64_t(table)})
        for (int i = 7; i >= 0; --i) trailer += char(value >> (8 * i));
    list += trailer;
    EXPECT_EQ(PropertyListString(list, "CFBundleExecutable"), "S\xC3\xA9");
    EXPECT_EQ(PropertyListString(list, "Id"), "x");
    EXPECT_EQ(PropertyListString(list.substr(0, list.size() - 1), "Id"), "");
}

}  // namespace
