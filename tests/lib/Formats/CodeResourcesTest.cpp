#include <gtest/gtest.h>
#include "Formats/CodeResources.h"

namespace {

// As the signing tools lay a seal out: data on lines of their own.
const char* const Seal = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>files</key>
	<dict>
		<key>Resources/Viewer.app/Contents/MacOS/Viewer</key>
		<data>
		AAAAAAAAAAAAAAAAAAAAAAAAAAA=
		</data>
		<key>Resources/a &amp; b.txt</key>
		<dict>
			<key>hash</key>
			<data>
			BBBBBBBBBBBBBBBBBBBBBBBBBBB=
			</data>
			<key>optional</key>
			<true/>
		</dict>
	</dict>
	<key>files2</key>
	<dict>
		<key>Resources/Viewer.app/Contents/MacOS/Viewer</key>
		<dict>
			<key>hash</key>
			<data>
			AAAAAAAAAAAAAAAAAAAAAAAAAAA=
			</data>
			<key>hash2</key>
			<data>
			AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=
			</data>
		</dict>
		<key>Resources/Nested.app</key>
		<dict>
			<key>cdhash</key>
			<data>
			CCCCCCCCCCCCCCCCCCCCCCCCCCC=
			</data>
		</dict>
	</dict>
	<key>rules2</key>
	<dict>
		<key>^Resources/</key>
		<dict><key>weight</key><real>20</real></dict>
	</dict>
</dict>
</plist>
)";

}  // namespace

// The viewer's hashes change where they stand, every other byte stays; a
// file sealed in a form not rewritten leaves the seal as it was.
TEST(CodeResources, RewritesOneFilesHashesInPlace) {
    std::string seal = Seal;
    const TSealKinds kinds = ReadSeal(seal);
    EXPECT_TRUE(kinds.Readable && kinds.Sha1 && kinds.Sha256);
    const std::string sha1(20, '\xFF'), sha256(32, '\x00');
    ASSERT_TRUE(ResealFile(seal, "Resources/Viewer.app/Contents/MacOS/Viewer", sha1, sha256));
    std::string expected = Seal;
    for (size_t i = 0; i < 2; ++i)
        expected.replace(expected.find("AAAAAAAAAAAAAAAAAAAAAAAAAAA="), 28, "//////////////////////////8=");
    EXPECT_EQ(seal, expected);
    EXPECT_FALSE(ResealFile(seal, "Resources/Nested.app", sha1, sha256));
    EXPECT_FALSE(ResealFile(seal, "Resources/Missing", sha1, sha256));
    EXPECT_EQ(seal, expected);
}

// Seals not read: the binary form, a list cut short, no "files2", nesting
// without end.
TEST(CodeResources, OtherFormsAreNotRead) {
    std::string cut = Seal;
    cut.resize(cut.size() / 2);
    const std::string forms[] = {"bplist00" + std::string(40, '\0'), cut,
                                 "<plist><dict><key>files</key><dict/></dict></plist>",
                                 "<plist>" + std::string(10000, '<') + "</plist>",
                                 "<plist><dict><key>files2</key><dict><key>x</key>" + std::string(200, ' ')};
    for (std::string seal : forms) {
        EXPECT_FALSE(ReadSeal(seal).Readable) << seal.substr(0, 60);
        EXPECT_FALSE(ResealFile(seal, "x", std::string(20, 'a'), std::string(32, 'b')));
    }
}
