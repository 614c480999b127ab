// MediaFormat, the raw AM_MEDIA_TYPE helpers and the bitmap helpers.
#include <cstring>

#include "fakes.h"

namespace {

using MediaFormatTest = FrameworkTest;

TEST_F(MediaFormatTest, EmptyValueHasFixedSizeSamplesOfSizeOne) {
    MediaFormat f;
    EXPECT_EQ(f.majorType(), GUID_NULL);
    EXPECT_EQ(f.formatType(), GUID_NULL);
    EXPECT_TRUE(f.fixedSizeSamples());
    EXPECT_EQ(f.sampleSize(), 1u);
    EXPECT_EQ(f.formatLength(), 0u);
    EXPECT_EQ(f.formatBlock(), nullptr);
    EXPECT_FALSE(f.fullySpecified());
    EXPECT_EQ(f.videoInfo(), nullptr);
}

TEST_F(MediaFormatTest, CopiesOwnTheirBlockAndSelfAssignmentKeepsTheValue) {
    MediaFormat a = taggedFormat(7);
    MediaFormat b(a);
    ASSERT_NE(b.formatBlock(), nullptr);
    EXPECT_NE(b.formatBlock(), a.formatBlock());
    EXPECT_EQ(0, std::memcmp(a.formatBlock(), b.formatBlock(), a.formatLength()));
    EXPECT_TRUE(a == b);

    BYTE* before = a.formatBlock();
    MediaFormat& alias = a;
    a = alias;
    EXPECT_EQ(a.formatBlock(), before);
    EXPECT_EQ(a.assign(a.get()), S_OK);
    EXPECT_EQ(a.formatBlock(), before);
    EXPECT_EQ(a.videoInfo()->bmiHeader.biWidth, 7);

    MediaFormat moved(std::move(b));
    EXPECT_EQ(b.formatBlock(), nullptr);  // NOLINT(bugprone-use-after-move): the empty value is the contract
    EXPECT_TRUE(moved == a);
    b = std::move(moved);
    EXPECT_TRUE(b == a);
}

TEST_F(MediaFormatTest, EqualityIgnoresSampleSizeButNotFormatBytes) {
    MediaFormat a = taggedFormat(3, 100);
    MediaFormat b = taggedFormat(3, 999);
    b.setTemporalCompression(true);
    EXPECT_TRUE(a == b);
    b.videoInfo()->bmiHeader.biHeight = 5;
    EXPECT_FALSE(a == b);
    MediaFormat c = taggedFormat(4);
    EXPECT_FALSE(a == c);
    MediaFormat shortBlock = taggedFormat(3);
    shortBlock.allocFormatBlock(10);
    EXPECT_FALSE(a == shortBlock);
}

TEST_F(MediaFormatTest, PartialMatchTreatsNullGuidsAsWildcards) {
    MediaFormat type = taggedFormat(9);
    MediaFormat pattern;
    pattern.setSampleSize(0);
    EXPECT_TRUE(type.matchesPartial(pattern.get()));  // all GUID_NULL
    pattern.setMajorType(MEDIATYPE_Video);
    EXPECT_TRUE(type.matchesPartial(pattern.get()));
    pattern.setMajorType(MEDIATYPE_Audio);
    EXPECT_FALSE(type.matchesPartial(pattern.get()));
    pattern.setMajorType(GUID_NULL);
    pattern.setSubtype(taggedFormat(8).subtype());
    EXPECT_FALSE(type.matchesPartial(pattern.get()));
    // A format type in the pattern requires the same format block.
    MediaFormat withFormat = taggedFormat(9);
    withFormat.setSubtype(GUID_NULL);
    EXPECT_TRUE(type.matchesPartial(withFormat.get()));
    withFormat.videoInfo()->AvgTimePerFrame = 1;
    EXPECT_FALSE(type.matchesPartial(withFormat.get()));
    EXPECT_TRUE(type.fullySpecified());
}

TEST_F(MediaFormatTest, VideoInfoNeedsTheFormatTypeAndAWholeHeader) {
    MediaFormat f = taggedFormat(1);
    EXPECT_NE(f.videoInfo(), nullptr);
    f.allocFormatBlock(sizeof(VIDEOINFOHEADER) - 1);
    EXPECT_EQ(f.videoInfo(), nullptr);
    f.allocFormatBlock(sizeof(VIDEOINFOHEADER));
    EXPECT_NE(f.videoInfo(), nullptr);
    f.setFormatType(FORMAT_VideoInfo2);
    EXPECT_EQ(f.videoInfo(), nullptr);
    AM_MEDIA_TYPE raw{};
    raw.formattype = FORMAT_VideoInfo;
    raw.cbFormat = sizeof(VIDEOINFOHEADER);  // a length without a block
    EXPECT_EQ(videoInfoOf(raw), nullptr);
}

TEST_F(MediaFormatTest, FormatBlockAllocationKeepsSameLengthBlocks) {
    MediaFormat f;
    BYTE* block = f.allocFormatBlock(16);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(f.formatLength(), 16u);
    EXPECT_EQ(f.allocFormatBlock(16), block);
    EXPECT_NE(f.allocFormatBlock(32), nullptr);
    EXPECT_EQ(f.formatLength(), 32u);
    EXPECT_EQ(f.allocFormatBlock(0), nullptr);
    EXPECT_EQ(f.formatLength(), 0u);
    const BYTE bytes[3] = {1, 2, 3};
    EXPECT_EQ(f.setFormatBlock(bytes, 3), S_OK);
    EXPECT_EQ(f.formatBlock()[2], 3);
    EXPECT_EQ(f.setFormatBlock(nullptr, 3), E_POINTER);
}

TEST_F(MediaFormatTest, SampleSizeZeroMeansVariableSizeSamples) {
    MediaFormat f;
    f.setSampleSize(0);
    EXPECT_FALSE(f.fixedSizeSamples());
    EXPECT_EQ(f.sampleSize(), 0u);
    f.setSampleSize(230400);
    EXPECT_TRUE(f.fixedSizeSamples());
    EXPECT_EQ(f.sampleSize(), 230400u);
}

TEST_F(MediaFormatTest, CopiesCountTheirPUnkReference) {
    ComPtr<FakeUnknown> unk(new FakeUnknown);
    {
        MediaFormat f = taggedFormat(2);
        f.raw()->pUnk = ComPtr<IUnknown>(unk->innerUnknown()).Detach();  // a reference f now owns
        EXPECT_EQ(unk->refs(), 2);
        {
            MediaFormat copy(f);
            EXPECT_EQ(unk->refs(), 3);
            AM_MEDIA_TYPE* task = f.createCopy();
            ASSERT_NE(task, nullptr);
            EXPECT_EQ(unk->refs(), 4);
            deleteMediaType(task);
            EXPECT_EQ(unk->refs(), 3);
        }
        EXPECT_EQ(unk->refs(), 2);
    }
    EXPECT_EQ(unk->refs(), 1);
}

TEST_F(MediaFormatTest, RawHelpersCopyFreeAndMove) {
    MediaFormat source = taggedFormat(5);
    AM_MEDIA_TYPE copy;
    ASSERT_EQ(copyMediaType(&copy, source.get()), S_OK);
    EXPECT_NE(copy.pbFormat, source.formatBlock());
    EXPECT_TRUE(mediaTypesEqual(copy, source.get()));
    freeMediaType(copy);
    EXPECT_EQ(copy.pbFormat, nullptr);
    EXPECT_EQ(copy.cbFormat, 0u);
    EXPECT_EQ(copyMediaType(nullptr, source.get()), E_POINTER);
    deleteMediaType(nullptr);

    // A length without a block copies as no block rather than reading through null.
    AM_MEDIA_TYPE broken{};
    broken.cbFormat = 88;
    ASSERT_EQ(copyMediaType(&copy, broken), S_OK);
    EXPECT_EQ(copy.cbFormat, 0u);
    freeMediaType(copy);

    AM_MEDIA_TYPE target;
    BYTE* block = source.formatBlock();
    source.moveTo(&target);
    EXPECT_EQ(target.pbFormat, block);
    EXPECT_EQ(source.formatBlock(), nullptr);
    freeMediaType(target);
}

TEST_F(MediaFormatTest, BitmapImageSizeRoundsRowsToFourBytes) {
    BITMAPINFOHEADER h{};
    h.biWidth = 320;
    h.biHeight = 240;
    h.biBitCount = 24;
    EXPECT_EQ(bitmapImageSize(h), 230400u);
    h.biWidth = 81;  // 243 bytes -> 244
    h.biHeight = -2;
    EXPECT_EQ(bitmapImageSize(h), 488u);
    h.biWidth = 3;
    h.biHeight = 1;
    h.biBitCount = 1;
    EXPECT_EQ(bitmapImageSize(h), 4u);
    h.biWidth = -3;
    EXPECT_EQ(bitmapImageSize(h), 0u);
    h.biWidth = 0x7FFFFFFF;
    h.biHeight = 0x7FFFFFFF;
    h.biBitCount = 32;
    EXPECT_EQ(bitmapImageSize(h), 0u);  // does not fit in 32 bits
}

TEST_F(MediaFormatTest, BitmapSubtypeByCompressionAndBitCount) {
    BITMAPINFOHEADER h{};
    const struct {
        WORD bits;
        GUID subtype;
    } table[] = {
        {1, MEDIASUBTYPE_RGB1},   {4, MEDIASUBTYPE_RGB4},   {8, MEDIASUBTYPE_RGB8}, {16, MEDIASUBTYPE_RGB555},
        {24, MEDIASUBTYPE_RGB24}, {32, MEDIASUBTYPE_RGB32}, {12, GUID_NULL}};
    for (const auto& row : table) {
        h.biBitCount = row.bits;
        EXPECT_EQ(bitmapSubtype(h), row.subtype) << row.bits;
    }
    h.biBitCount = 16;
    h.biCompression = BI_BITFIELDS;
    const DWORD m555[3] = {0x7C00, 0x03E0, 0x001F};
    const DWORD m565[3] = {0xF800, 0x07E0, 0x001F};
    const DWORD other[3] = {0xF00, 0xF0, 0xF};
    EXPECT_EQ(bitmapSubtype(h, m555), MEDIASUBTYPE_RGB555);
    EXPECT_EQ(bitmapSubtype(h, m565), MEDIASUBTYPE_RGB565);
    EXPECT_EQ(bitmapSubtype(h, other), GUID_NULL);
    EXPECT_EQ(bitmapSubtype(h), GUID_NULL);

    h.biCompression = MAKEFOURCC('Y', 'U', 'Y', '2');
    EXPECT_EQ(bitmapSubtype(h), MEDIASUBTYPE_YUY2);
    GUID mjpg = fourccSubtype(MAKEFOURCC('M', 'J', 'P', 'G'));
    EXPECT_EQ(mjpg.Data1, 0x47504A4Du);
    EXPECT_EQ(mjpg.Data2, 0x0000);
    EXPECT_EQ(mjpg.Data3, 0x0010);
    const BYTE tail[8] = {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
    EXPECT_EQ(0, std::memcmp(mjpg.Data4, tail, 8));
}

}  // namespace
