// The Windows build's binary interface: ryx.dll exports the 14 functions by name and by their fixed ordinals and
// needs only system DLLs; ryx_test.exe imports them by ordinal and carries its version resource. Read from the
// files with objdump, and checked again under wine with GetProcAddress by ordinal.
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "wine_support.h"

namespace ryx::wine {
namespace {

const char* const kExports[14] = {"RYX_OpenA",        "RYX_OpenW",       "RYX_Close",       "RYX_GetNumSlots",
                                  "RYX_GetBaudRate",  "RYX_SetBaudRate", "RYX_GetTimeouts", "RYX_SetTimeouts",
                                  "RYX_PowerOnIcc",   "RYX_PowerOffIcc", "RYX_SetProtocol", "RYX_GetIccStatus",
                                  "RYX_ExchangeApdu", "RYX_Control"};

std::string PrivateHeaders(const std::string& file) {
    const Outcome run =
        RunProgram({RYX_MINGW_OBJDUMP, "-p", WindowsBinDir() + "/" + file}, "", "/", std::chrono::seconds(60));
    EXPECT_EQ(run.status, 0) << run.err;
    return run.out;
}

// The DLLs a PE file imports from, by the "DLL Name:" lines of objdump.
std::set<std::string> ImportedDlls(const std::string& dump) {
    std::set<std::string> dlls;
    static const std::regex kDll("DLL Name: (\\S+)");
    for (std::sregex_iterator it(dump.begin(), dump.end(), kDll), end; it != end; ++it) dlls.insert((*it)[1]);
    return dlls;
}

TEST(ExportTable, NamesAndOrdinalsOneToFourteenAndNothingElse) {
    const std::string dump = PrivateHeaders("ryx.dll");
    std::smatch base;
    ASSERT_TRUE(std::regex_search(dump, base, std::regex("Ordinal Base (\\d+)"))) << dump;
    const int ordinalBase = std::stoi(base[1]);
    // "[Ordinal/Name Pointer] Table" lists "[index] name", the index counting from the ordinal base.
    const auto table = dump.find("[Ordinal/Name Pointer] Table");
    ASSERT_NE(table, std::string::npos) << dump;
    std::istringstream lines(dump.substr(table));
    std::string line;
    std::getline(lines, line);
    std::map<int, std::string> byOrdinal;
    static const std::regex kEntry("^\\s*\\[\\s*(\\d+)\\]\\s+(\\S+)\\s*$");
    while (std::getline(lines, line)) {
        std::smatch m;
        if (!std::regex_match(line, m, kEntry)) break;
        byOrdinal[std::stoi(m[1]) + ordinalBase] = m[2];
    }
    std::map<int, std::string> expected;
    for (int i = 0; i < 14; ++i) expected[i + 1] = kExports[i];
    EXPECT_EQ(byOrdinal, expected);
    EXPECT_NE(dump.find("Export Address Table \t\t0000000e"), std::string::npos) << "14 addresses, no more";
}

TEST(ExportTable, TheDllAndTheProgramNeedOnlySystemDlls) {
    const std::set<std::string> system = {"KERNEL32.dll", "msvcrt.dll"};
    EXPECT_EQ(ImportedDlls(PrivateHeaders("ryx.dll")), system);
    std::set<std::string> program = system;
    program.insert("ryx.dll");
    EXPECT_EQ(ImportedDlls(PrivateHeaders("ryx_test.exe")), program);
}

TEST(ExportTable, RyxTestBindsOneAndThreeToFourteenByOrdinalOnly) {
    const std::string dump = PrivateHeaders("ryx_test.exe");
    const auto from = dump.find("DLL Name: ryx.dll");
    ASSERT_NE(from, std::string::npos);
    const auto to = dump.find("DLL Name:", from + 1);
    const std::string imports = dump.substr(from, to == std::string::npos ? std::string::npos : to - from);
    // An import by ordinal has the top bit of its thunk set and no name.
    std::set<int> ordinals;
    static const std::regex kByOrdinal("\\n\\s*8000000000000([0-9a-f]{3})\\s+([0-9a-f]+)\\s+<none>");
    for (std::sregex_iterator it(imports.begin(), imports.end(), kByOrdinal), end; it != end; ++it) {
        ordinals.insert(std::stoi((*it)[1], nullptr, 16));
    }
    EXPECT_EQ(ordinals, (std::set<int>{1, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14})) << imports;
    for (const char* name : kExports) EXPECT_EQ(imports.find(name), std::string::npos) << name << " imported by name";
}

TEST(ExportTable, ByOrdinalUnderWineEachGivesTheNamedFunction) {
    ExerciserSession session;
    ASSERT_TRUE(session.Start()) << session.Error();
    EXPECT_EQ(session.Call("exports"), "ordinal 1 RYX_OpenA same");
    for (int i = 2; i <= 14; ++i) {
        EXPECT_EQ(session.NextLine(), "ordinal " + std::to_string(i) + " " + kExports[i - 1] + " same");
    }
    EXPECT_EQ(session.NextLine(), "end") << "ordinal 15 must not exist";
    EXPECT_EQ(session.Call("version ryx_test.exe"), "version 1.0.1.1 1.0.1.1 RYX API Test Utility");
    EXPECT_TRUE(session.Finish()) << session.Error() << session.ErrorOutput();
}

}  // namespace
}  // namespace ryx::wine
