// The diagnostics channel: where its level comes from, which lines pass, what
// a line looks like, that a disabled trace evaluates nothing, the text
// helpers and (Windows) the log file in the temporary folder.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/registry_key.h"
#include "platform/trace.h"
#include "trace_capture.h"

namespace {

const char* const settingsKey = "Software\\VANTO Automation\\stereoWebcam";

// Sets (value >= 0) or deletes a DWORD value of the product's settings key.
void setStoredDword(const char* name, long value) {
    RegistryKey key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, settingsKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, key.receive(), nullptr),
              ERROR_SUCCESS);
    if (value < 0) {
        RegDeleteValueA(key.get(), name);
        return;
    }
    const DWORD data = static_cast<DWORD>(value);
    ASSERT_EQ(
        RegSetValueExA(key.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data), sizeof(data)),
        ERROR_SUCCESS);
}

// Writes one line at each level and returns what arrived, in order.
std::vector<std::string> writeOnePerLevel(TraceCapture& capture) {
    DV_TRACE(TraceLevel::error, "an error %d", 1);
    DV_TRACE(TraceLevel::state, "a state change %s", "two");
    DV_TRACE(TraceLevel::verbose, "a detail %.1f", 3.0);
    return capture.take();
}

class TraceTest : public ::testing::Test {
protected:
    void TearDown() override {
        setStoredDword("TraceLevel", -1);
        setStoredDword("TraceFile", -1);
        setTraceEnvironment("DV_TRACE", nullptr);
        setTraceEnvironment("DV_TRACE_FILE", nullptr);
        dvTraceReload();
    }
};

TEST_F(TraceTest, OffByDefaultWritesNothing) {
    TraceCapture capture(nullptr);
    EXPECT_EQ(dvTraceLevel(), 0);
    EXPECT_FALSE(dvTraceEnabled(1));
    EXPECT_TRUE(writeOnePerLevel(capture).empty());
    dvTraceWrite(1, "written directly");  // checks the level itself
    EXPECT_TRUE(capture.take().empty());
}

TEST_F(TraceTest, RegistryAndEnvironmentChooseTheLevelAndLevelsFilter) {
    struct Case {
        long stored;              // TraceLevel value, -1: none
        const char* environment;  // DV_TRACE, null: unset
        int level;                // the effective level
    };
    const Case cases[] = {
        {2, nullptr, 2}, {1, nullptr, 1}, {3, nullptr, 3}, {0, nullptr, 0}, {7, nullptr, 3}, {-1, "1", 1},
        {3, "1", 1},     {3, "0", 0},     {-1, "on", 2},   {-1, "9", 3},    {2, "", 2},  // an empty variable
                                                                                         // counts as unset
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.stored) + " / " + (c.environment ? c.environment : "(unset)"));
        setStoredDword("TraceLevel", c.stored);
        TraceCapture capture(c.environment);
        EXPECT_EQ(dvTraceLevel(), c.level);
        const std::vector<std::string> lines = writeOnePerLevel(capture);
        ASSERT_EQ(lines.size(), static_cast<size_t>(c.level));
        const char* const expected[] = {"error: an error 1\n", "state: a state change two\n",
                                        "verbose: a detail 3.0\n"};
        for (size_t i = 0; i < lines.size(); ++i) {
            EXPECT_EQ(lines[i].rfind("Duoview2 [", 0), 0u) << lines[i];
            const size_t close = lines[i].find("] ");
            ASSERT_NE(close, std::string::npos) << lines[i];
            EXPECT_GT(close, std::strlen("Duoview2 [")) << "no thread id: " << lines[i];
            EXPECT_EQ(lines[i].substr(close + 2), expected[i]);
        }
    }
}

TEST_F(TraceTest, DisabledTraceEvaluatesNoArguments) {
    TraceCapture capture("1");
    int evaluated = 0;
    DV_TRACE(TraceLevel::state, "%d", ++evaluated);
    DV_TRACE(TraceLevel::verbose, "%s", TraceHr(static_cast<HRESULT>(++evaluated)).text);
    EXPECT_EQ(evaluated, 0);
    DV_TRACE(TraceLevel::error, "%d", ++evaluated);
    EXPECT_EQ(evaluated, 1);
    EXPECT_EQ(capture.take().size(), 1u);
}

TEST_F(TraceTest, LongMessagesAreCutToOneLine) {
    TraceCapture capture("1");
    const std::string longText(3000, 'x');
    DV_TRACE(TraceLevel::error, "%s", longText.c_str());
    const std::vector<std::string> lines = capture.take();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_LT(lines[0].size(), 1024u);
    EXPECT_EQ(lines[0].back(), '\n');
    EXPECT_EQ(lines[0].find('\n'), lines[0].size() - 1);
}

TEST(TraceText, HelpersFormatIntoTheirBuffers) {
    EXPECT_STREQ(TraceHr(E_FAIL).text, "0x80004005 E_FAIL");
    EXPECT_STREQ(TraceHr(VFW_E_TYPE_NOT_ACCEPTED).text, "0x8004022A VFW_E_TYPE_NOT_ACCEPTED");
    EXPECT_STREQ(TraceHr(static_cast<HRESULT>(0x80070005)).text, "0x80070005 E_ACCESSDENIED");
    EXPECT_STREQ(TraceHr(static_cast<HRESULT>(0x8007001F)).text, "0x8007001F");

    VIDEOINFOHEADER info{};
    info.AvgTimePerFrame = 333333;
    info.bmiHeader.biWidth = 640;
    info.bmiHeader.biHeight = 480;
    info.bmiHeader.biBitCount = 24;
    AM_MEDIA_TYPE type{};
    type.majortype = MEDIATYPE_Video;
    type.subtype = MEDIASUBTYPE_RGB24;
    type.formattype = FORMAT_VideoInfo;
    type.cbFormat = sizeof(info);
    type.pbFormat = reinterpret_cast<BYTE*>(&info);
    EXPECT_STREQ(TraceType(&type).text, "RGB24 640x480 24 bit 333333 (30.00 fps)");
    type.subtype = MEDIASUBTYPE_YUY2;
    info.bmiHeader.biBitCount = 16;
    info.AvgTimePerFrame = 0;
    EXPECT_STREQ(TraceType(&type).text, "YUY2 640x480 16 bit (no frame interval)");
    type.cbFormat = sizeof(info) - 1;
    EXPECT_STREQ(TraceType(&type).text, "YUY2 (no VIDEOINFOHEADER)");
    type.majortype = GUID{};
    EXPECT_STREQ(TraceType(&type).text, "(not video)");
    EXPECT_STREQ(TraceType(nullptr).text, "(none)");

    EXPECT_STREQ(TraceText(L"Stereo Camera 1").text, "Stereo Camera 1");
    EXPECT_STREQ(TraceText(L"Kam\u00e9ra \u20ac").text, "Kam\xc3\xa9ra \xe2\x82\xac");
    EXPECT_STREQ(TraceText(nullptr).text, "(null)");
    // Cut only between whole characters.
    char small[5];
    dvFormatWide(L"ab\u20ac", small, sizeof(small));
    EXPECT_STREQ(small, "ab");
    dvFormatHresult(E_FAIL, small, sizeof(small));
    EXPECT_STREQ(small, "0x80");
}

#ifdef _WIN32
// The whole text of a file, empty when it cannot be read.
std::string fileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST_F(TraceTest, FileSinkWritesIntoTheTemporaryFolderWhenAsked) {
    // A temporary folder of this test's own: GetTempPath takes TMP first.
    char current[MAX_PATH];
    ASSERT_GT(GetCurrentDirectoryA(sizeof(current), current), 0u);
    const std::string folder = std::string(current) + "\\trace-temp";
    CreateDirectoryA(folder.c_str(), nullptr);
    const std::string log = folder + "\\Duoview2.log";
    DeleteFileA(log.c_str());
    char savedTmp[MAX_PATH] = "";
    const bool hadTmp = GetEnvironmentVariableA("TMP", savedTmp, sizeof(savedTmp)) > 0;
    SetEnvironmentVariableA("TMP", folder.c_str());

    char path[MAX_PATH + 16];
    ASSERT_TRUE(dvTraceLogPath(path, sizeof(path)));
    EXPECT_STRCASEEQ(path, log.c_str());

    // On without the file: nothing in the folder.
    setTraceEnvironment("DV_TRACE", "2");
    dvTraceReload();
    DV_TRACE(TraceLevel::error, "not into the file");
    EXPECT_EQ(GetFileAttributesA(log.c_str()), INVALID_FILE_ATTRIBUTES);

    // Asked by the registry, then by the environment (which wins over it).
    setStoredDword("TraceFile", 1);
    dvTraceReload();
    DV_TRACE(TraceLevel::state, "from the registry %d", 1);
    setStoredDword("TraceFile", 0);
    setTraceEnvironment("DV_TRACE_FILE", "1");
    dvTraceReload();
    DV_TRACE(TraceLevel::error, "from the environment %s", TraceHr(E_FAIL).text);
    DV_TRACE(TraceLevel::verbose, "above the level");
    setTraceEnvironment("DV_TRACE_FILE", "0");
    dvTraceReload();  // closes the file
    DV_TRACE(TraceLevel::error, "file switched off");

    const std::string text = fileText(log);
    EXPECT_NE(text.find("] state: from the registry 1\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("] error: from the environment 0x80004005 E_FAIL\r\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("not into the file"), std::string::npos) << text;
    EXPECT_EQ(text.find("above the level"), std::string::npos) << text;
    EXPECT_EQ(text.find("file switched off"), std::string::npos) << text;
    EXPECT_EQ(text.rfind("Duoview2 [", 0), 0u) << text;

    SetEnvironmentVariableA("TMP", hadTmp ? savedTmp : nullptr);
    DeleteFileA(log.c_str());
    RemoveDirectoryA(folder.c_str());
}
#endif

}  // namespace
