// The decoder and encoder of each ZIP record: bytes laid out as the format
// describes decode to the fields they hold, and those fields encode back
// to the same bytes.
#include <gtest/gtest.h>
#include <vector>
#include "Archivers/Zip/ZipStructure.h"

namespace {

using TBytes = std::vector<uint8_t>;

// Every field a value of its own, so that a field read or written at
// another's place shows; size is the constant that names the record's.
template <class TRecord>
void ExpectRecord(const TBytes& bytes, TRecord fields, int32_t size) {
    ASSERT_EQ(bytes.size(), size_t(size));
    TRecord decoded;
    EXPECT_TRUE(DecodeRecord(bytes.data(), decoded));
    EXPECT_EQ(decoded.Fields(), fields.Fields());
    TBytes encoded(bytes.size());
    EXPECT_EQ(EncodeRecord(fields, encoded.data()), size);
    EXPECT_EQ(encoded, bytes);
    TRecord again;
    EXPECT_TRUE(DecodeRecord(encoded.data(), again));
    EXPECT_EQ(again.Fields(), fields.Fields());
    // Another record's signature: the fields are read, and refused.
    encoded[3] ^= 0x0F;
    EXPECT_FALSE(DecodeRecord(encoded.data(), again));
    EXPECT_EQ(again.Fields(), fields.Fields());
}

TEST(ZipRecords, LocalHeader) {
    ExpectRecord(TBytes{0x50, 0x4B, 0x03, 0x04,  // signature
                        0x14, 0x00,              // version needed
                        0x08, 0x08,              // flags
                        0x08, 0x00,              // method
                        0x5A, 0x63, 0x2E, 0x57,  // time, date
                        0x78, 0x56, 0x34, 0x12,  // CRC-32
                        0x05, 0x01, 0x00, 0x80,  // packed size
                        0x06, 0x02, 0x00, 0x00,  // size
                        0x0B, 0x00,              // name length
                        0x14, 0x01},             // extra field length
                 TZipLocalHeader{.VersionNeeded = 20,
                                 .Flags = 0x0808,
                                 .Method = 8,
                                 .DosTime = 0x572E635A,
                                 .Crc32 = 0x12345678,
                                 .PackedSize = 0x80000105,
                                 .Size = 0x206,
                                 .NameLength = 11,
                                 .ExtraLength = 0x114},
                 ZipRecord::LocalHeaderSize);
}

TEST(ZipRecords, CentralHeader) {
    ExpectRecord(TBytes{0x50, 0x4B, 0x01, 0x02,   // signature
                        0x3F, 0x03,               // version made by, host
                        0x2D, 0x00,               // version needed
                        0x00, 0x08,               // flags
                        0x63, 0x00,               // method
                        0x5A, 0x63, 0x2E, 0x57,   // time, date
                        0x78, 0x56, 0x34, 0x12,   // CRC-32
                        0xFF, 0xFF, 0xFF, 0xFF,   // packed size
                        0x06, 0x02, 0x00, 0x00,   // size
                        0x0B, 0x00,               // name length
                        0x14, 0x01,               // extra field length
                        0x07, 0x00,               // comment length
                        0x02, 0x00,               // disk
                        0x01, 0x00,               // internal attributes
                        0x00, 0x00, 0xED, 0x81,   // external attributes
                        0x44, 0x33, 0x22, 0x11},  // local header offset
                 TZipCentralHeader{.VersionMadeBy = 63,
                                   .HostSystem = 3,
                                   .VersionNeeded = 45,
                                   .Flags = 0x0800,
                                   .Method = 99,
                                   .DosTime = 0x572E635A,
                                   .Crc32 = 0x12345678,
                                   .PackedSize = 0xFFFFFFFF,
                                   .Size = 0x206,
                                   .NameLength = 11,
                                   .ExtraLength = 0x114,
                                   .CommentLength = 7,
                                   .Disk = 2,
                                   .InternalAttributes = 1,
                                   .ExternalAttributes = 0x81ED0000,
                                   .LocalOffset = 0x11223344},
                 ZipRecord::CentralHeaderSize);
}

TEST(ZipRecords, DataDescriptor) {
    ExpectRecord(TBytes{0x50, 0x4B, 0x07, 0x08,   // signature
                        0x78, 0x56, 0x34, 0x12,   // CRC-32
                        0x05, 0x01, 0x00, 0x80,   // packed size
                        0x06, 0x02, 0x00, 0x00},  // size
                 TZipDataDescriptor{.Crc32 = 0x12345678, .PackedSize = 0x80000105, .Size = 0x206},
                 ZipRecord::DataDescriptorSize);
}

TEST(ZipRecords, Zip64DataDescriptor) {
    ExpectRecord(TBytes{0x50, 0x4B, 0x07, 0x08,                           // signature
                        0x78, 0x56, 0x34, 0x12,                           // CRC-32
                        0x05, 0x01, 0x00, 0x80, 0x01, 0x00, 0x00, 0x00,   // packed size
                        0x06, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x90},  // size
                 TZip64DataDescriptor{.Crc32 = 0x12345678, .PackedSize = 0x180000105, .Size = 0x9000000000000206},
                 ZipRecord::Zip64DataDescriptorSize);
}

TEST(ZipRecords, EndRecord) {
    ExpectRecord(TBytes{0x50, 0x4B, 0x05, 0x06,  // signature
                        0x01, 0x00,              // disk
                        0x02, 0x00,              // disk of the directory
                        0x03, 0x00,              // entries on this disk
                        0xFF, 0xFF,              // entries
                        0x44, 0x33, 0x22, 0x11,  // directory size
                        0x88, 0x77, 0x66, 0x55,  // directory offset
                        0x16, 0x01},             // comment length
                 TZipEndRecord{.Disk = 1,
                               .DirectoryDisk = 2,
                               .DiskCount = 3,
                               .Count = 0xFFFF,
                               .DirectorySize = 0x11223344,
                               .DirectoryOffset = 0x55667788,
                               .CommentLength = 0x116},
                 ZipRecord::EndRecordSize);
}

TEST(ZipRecords, Zip64EndRecord) {
    ExpectRecord(TBytes{0x50, 0x4B, 0x06, 0x06,                           // signature
                        0x2C, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,   // size of the rest
                        0x2D, 0x03,                                       // version made by
                        0x2D, 0x00,                                       // version needed
                        0x01, 0x00, 0x00, 0x00,                           // disk
                        0x02, 0x00, 0x00, 0x00,                           // disk of the directory
                        0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,   // entries on this disk
                        0x04, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00,   // entries
                        0x44, 0x33, 0x22, 0x11, 0x05, 0x00, 0x00, 0x00,   // directory size
                        0x88, 0x77, 0x66, 0x55, 0x06, 0x00, 0x00, 0x00},  // directory offset
                 TZip64EndRecord{.FollowingSize = 44,
                                 .VersionMadeBy = 0x032D,
                                 .VersionNeeded = 45,
                                 .Disk = 1,
                                 .DirectoryDisk = 2,
                                 .DiskCount = 3,
                                 .Count = 0x10004,
                                 .DirectorySize = 0x511223344,
                                 .DirectoryOffset = 0x655667788},
                 ZipRecord::Zip64EndRecordSize);
}

TEST(ZipRecords, Zip64Locator) {
    ExpectRecord(TBytes{0x50, 0x4B, 0x06, 0x07,                          // signature
                        0x02, 0x00, 0x00, 0x00,                          // disk of the ZIP64 end record
                        0x88, 0x77, 0x66, 0x55, 0x06, 0x00, 0x00, 0x00,  // its offset
                        0x03, 0x00, 0x00, 0x00},                         // disks
                 TZip64Locator{.EndRecordDisk = 2, .EndRecordOffset = 0x655667788, .DiskCount = 3},
                 ZipRecord::Zip64LocatorSize);
}

}  // namespace
