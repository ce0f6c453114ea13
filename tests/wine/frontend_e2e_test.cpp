// DURUVUDE.EXE's command line, usage box, timeout setting and version
// resource, under Wine.
#include <cstring>

#include "wine_support.h"

namespace {

using bed::WineTest;

std::string UsageText(const char* current) {
    return std::string(
               "USAGE:\nDURUVUDE <option(s)>\nOptions are:\ninstall / uninstall\nvideotimeout <xxx>\n\n"
               "Current Configuration:\nVideoTimeout ") +
           current + "\n";
}

void CreateParametersKey() {
    HKEY key = nullptr;
    char noClass[] = "";
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, bed::kParametersKey, 0, noClass, REG_OPTION_NON_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

TEST_F(WineTest, NoArgumentsShowTheUsageBoxWithoutAValue) {
    RunOutcome run = bed::RunDuruvude({});
    ASSERT_EQ(run.boxes.size(), 1u);
    EXPECT_EQ(run.boxes[0].title, bed::kUsageTitle);
    EXPECT_EQ(run.boxes[0].text, UsageText("N/A"));
    EXPECT_EQ(run.output, "");
    EXPECT_EQ(run.exitCode, 0xFFFFFFFFu);
}

TEST_F(WineTest, AnUnknownArgumentShowsTheUsageBoxAndChangesNothing) {
    RunOutcome run = bed::RunDuruvude({"install", "/bogus"});
    ASSERT_EQ(run.boxes.size(), 1u);
    EXPECT_EQ(run.boxes[0].title, bed::kUsageTitle);
    EXPECT_EQ(run.exitCode, 0xFFFFFFFFu);
    EXPECT_FALSE(bed::ServiceState().has_value());
}

TEST_F(WineTest, TheTimeoutAloneNeedsAnInstalledDriverAndCreatesNoKey) {
    RunOutcome run = bed::RunDuruvude({"videotimeout", "300"});
    ASSERT_EQ(run.boxes.size(), 1u);
    EXPECT_EQ(run.boxes[0].title, bed::kErrorTitle);
    EXPECT_EQ(run.boxes[0].text,
              bed::ErrorText("Failed to open HKLM KTRX key, driver not installed ?", ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(run.exitCode, 0xFFFFFFFFu);
    EXPECT_FALSE(bed::KeyExists(bed::kParametersKey));
}

TEST_F(WineTest, TheTimeoutAloneIsWrittenAndShownByTheNextUsageBox) {
    CreateParametersKey();
    RunOutcome run = bed::RunDuruvude({"VideoTimeout", "300"});
    ASSERT_EQ(run.boxes.size(), 1u);
    EXPECT_EQ(run.boxes[0].title, bed::kNoticeTitle);
    EXPECT_EQ(run.boxes[0].text,
              "Driver configuration changes have been made.\nYou must now restart the driver or reboot the system\n");
    EXPECT_EQ(run.exitCode, 0u);
    auto value = bed::ReadValue(bed::kParametersKey, "VideoTimeout");
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(value->type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(value->bytes, (std::vector<BYTE>{0x2C, 0x01, 0, 0}));

    run = bed::RunDuruvude({});
    ASSERT_EQ(run.boxes.size(), 1u);
    EXPECT_EQ(run.boxes[0].text, UsageText("300"));
}

TEST_F(WineTest, AllThirtyTwoBitsSetShowAsMinusOne) {
    CreateParametersKey();
    EXPECT_EQ(bed::RunDuruvude({"videotimeout", "4294967295"}).exitCode, 0u);
    RunOutcome run = bed::RunDuruvude({});
    ASSERT_EQ(run.boxes.size(), 1u);
    EXPECT_EQ(run.boxes[0].text, UsageText("-1"));
}

TEST_F(WineTest, AnInvalidTimeoutIsRefusedBeforeAnythingHappens) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"videotimeout", "abc"}, std::vector<std::string>{"uninstall", "videotimeout", ""},
          std::vector<std::string>{"videotimeout"}}) {
        RunOutcome run = bed::RunDuruvude(args);
        ASSERT_EQ(run.boxes.size(), 1u);
        EXPECT_EQ(run.boxes[0].title, bed::kErrorTitle);
        EXPECT_EQ(run.boxes[0].text, "Invalid timeout value; ");
        EXPECT_EQ(run.exitCode, 0xFFFFFFFFu);
    }
}

std::string VersionString(const std::vector<BYTE>& info, const char* name) {
    std::string query = std::string("\\StringFileInfo\\080904b0\\") + name;
    char* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(info.data(), query.c_str(), reinterpret_cast<void**>(&value), &length)) return "<missing>";
    return value;
}

TEST(VersionResource, DescribesTheToolAsSpecified) {
    std::string exe = bed::PathFromEnvironment("DURUVUDE_EXE");
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeA(exe.c_str(), &handle);
    ASSERT_GT(size, 0u) << GetLastError();
    std::vector<BYTE> info(size);
    ASSERT_TRUE(GetFileVersionInfoA(exe.c_str(), 0, size, info.data()));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0u);
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwProductVersionLS, 0u);
    EXPECT_EQ(fixed->dwFileOS, static_cast<DWORD>(VOS_NT_WINDOWS32));
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));

    WORD* translation = nullptr;
    ASSERT_TRUE(
        VerQueryValueA(info.data(), "\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation), &length));
    ASSERT_EQ(length, 4u);
    EXPECT_EQ(translation[0], 0x0809);
    EXPECT_EQ(translation[1], 1200);

    EXPECT_EQ(VersionString(info, "FileVersion"), "1.0");
    EXPECT_EQ(VersionString(info, "ProductVersion"), "1.0");
    EXPECT_EQ(VersionString(info, "InternalName"), "DURUVUDE");
    EXPECT_EQ(VersionString(info, "OriginalFilename"), "DURUVUDE.EXE");
    EXPECT_EQ(VersionString(info, "FileDescription"), "Tolvane Kestrix driver install/uninstall utility");
    for (const char* maker : {"CompanyName", "LegalCopyright", "ProductName"})
        EXPECT_NE(VersionString(info, maker).find("Tolvane"), std::string::npos) << maker;

    // Filed under English (United States), beside an asInvoker manifest.
    HMODULE module = LoadLibraryExA(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module, nullptr);
    EXPECT_NE(FindResourceExA(module, MAKEINTRESOURCEA(16), MAKEINTRESOURCEA(1),
                              MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)),
              nullptr);
    HRSRC manifest = FindResourceA(module, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
    ASSERT_NE(manifest, nullptr);
    const char* text = static_cast<const char*>(LockResource(LoadResource(module, manifest)));
    std::string manifestText(text, SizeofResource(module, manifest));
    EXPECT_NE(manifestText.find("level=\"asInvoker\""), std::string::npos);
    FreeLibrary(module);
}

// Wine's override of one DLL for the programs of one EXE name; the value
// "" disables the DLL. ClearDllOverrides takes them all away again.
void SetDllOverride(const std::string& exeName, const std::string& dll, const std::string& value) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, ("Software\\Wine\\AppDefaults\\" + exeName + "\\DllOverrides").c_str(),
                              0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExA(key, dll.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>(value.size() + 1));
    RegCloseKey(key);
}

void ClearDllOverrides(const std::string& exeName) {
    const std::string appDefaults = "Software\\Wine\\AppDefaults\\" + exeName;
    RegDeleteKeyA(HKEY_CURRENT_USER, (appDefaults + "\\DllOverrides").c_str());
    RegDeleteKeyA(HKEY_CURRENT_USER, appDefaults.c_str());
}

// A DLL planted beside the EXE (a download folder) is not loaded, neither
// USER32, delay-loaded for the first box, nor uxtheme, which the system
// loads to draw it. Windows looks beside the EXE first for a DLL that is
// not a KnownDLL; Wine prefers its own builtin DLLs unless told otherwise,
// so the copy under test is told to look for each as Windows does.
TEST_F(WineTest, ADllPlantedBesideTheExeIsNotLoaded) {
    char temp[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, temp);
    const std::string folder = std::string(temp) + "duruvude-download";
    const char copyName[] = "Setup-DURUVUDE.EXE";
    const std::string exe = folder + "\\" + copyName;
    const char marker[] = "C:\\windows\\temp\\duruvude-planted-dll-loaded";
    CreateDirectoryA(folder.c_str(), nullptr);
    ASSERT_TRUE(CopyFileA(bed::PathFromEnvironment("DURUVUDE_EXE").c_str(), exe.c_str(), FALSE)) << GetLastError();
    for (const std::string name : {"USER32", "uxtheme"}) {
        const std::string planted = folder + "\\" + name + ".dll";
        // Of the EXE's bitness, so that only the search order keeps it out.
        const char* plantedFolder = bed::ExeIsX86() ? "\\planted-x86\\" : "\\planted\\";
        ASSERT_TRUE(CopyFileA((bed::PathFromEnvironment("DURUVUDE_FIXTURES") + plantedFolder + "USER32.dll").c_str(),
                              planted.c_str(), FALSE))
            << GetLastError();
        ASSERT_NO_FATAL_FAILURE(SetDllOverride(copyName, name, "native,builtin"));
        DeleteFileA(marker);

        RunOutcome run = RunAnsweringBoxes(QuoteArgument(exe), 30000);
        ClearDllOverrides(copyName);
        EXPECT_FALSE(run.timedOut) << name;
        EXPECT_EQ(run.exitCode, 0xFFFFFFFFu) << name;
        ASSERT_EQ(run.boxes.size(), 1u) << name;
        EXPECT_EQ(run.boxes[0].title, bed::kUsageTitle);
        EXPECT_EQ(GetFileAttributesA(marker), INVALID_FILE_ATTRIBUTES) << "the planted " << name << ".dll was loaded";
        DeleteFileA(marker);
        DeleteFileA(planted.c_str());
    }
    DeleteFileA(exe.c_str());
    RemoveDirectoryA(folder.c_str());
}

// USER32 that cannot be loaded (disabled for this copy of the EXE, as a
// desktop heap used up makes it fail to initialise): no box and no crash
// with the delay-load helper's 0xC06D007E, but the box's line on standard
// error and the run's own exit status.
TEST_F(WineTest, WithoutUser32TheBoxGoesToStandardError) {
    char temp[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, temp);
    const char copyName[] = "NoUser32-DURUVUDE.EXE";
    const std::string exe = std::string(temp) + copyName;
    ASSERT_TRUE(CopyFileA(bed::PathFromEnvironment("DURUVUDE_EXE").c_str(), exe.c_str(), FALSE)) << GetLastError();
    ASSERT_NO_FATAL_FAILURE(SetDllOverride(copyName, "user32", ""));
    RunOutcome run = RunAnsweringBoxes(QuoteArgument(exe) + " videotimeout x", 30000);
    ClearDllOverrides(copyName);
    DeleteFileA(exe.c_str());
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitCode, 0xFFFFFFFFu);
    EXPECT_TRUE(run.boxes.empty());
    EXPECT_EQ(run.errors, std::string(bed::kErrorTitle) + ": Invalid timeout value; \n");
}

}  // namespace
