// Applications bind to MERLOX.dll by name or by ordinal, from languages that pick
// one of the three spellings of each name. Every row of the export table must
// resolve both ways to one address, and the spellings must land where they should.
#include <map>
#include <set>
#include <string>

#include "MerloxDll.h"

namespace merlox::test {
namespace {

struct ExportRow {
  int vbOrdinal;
  const char* name;
  const char* operation;
};

const ExportRow kExportRows[] = {
#include "ExportTable.inc"
};

FARPROC ByName(const std::string& name) {
  return GetProcAddress(MerloxDll::Get().module(), name.c_str());
}

FARPROC ByOrdinal(int ordinal) {
  return GetProcAddress(MerloxDll::Get().module(),
                        reinterpret_cast<LPCSTR>(static_cast<uintptr_t>(ordinal)));
}

TEST(ExportResolutionTest, EveryNameResolvesByNameAndByOrdinalToOneAddress) {
  ASSERT_EQ(MerloxDll::Get().error(), "");
  std::map<std::string, FARPROC> operationAddress;
  std::map<std::string, FARPROC> vbAddress;
  for (const ExportRow& row : kExportRows) {
    SCOPED_TRACE(row.name);
    const std::string name = row.name;
    const FARPROC vb = ByName("VB" + name);
    const FARPROC underscore = ByName("_" + name);
    const FARPROC plain = ByName(name);
    ASSERT_NE(vb, nullptr);
    ASSERT_NE(plain, nullptr);
    EXPECT_EQ(ByOrdinal(row.vbOrdinal), vb);
    EXPECT_EQ(ByOrdinal(row.vbOrdinal + 1), underscore);
    EXPECT_EQ(ByOrdinal(row.vbOrdinal + 2), plain);
    EXPECT_EQ(underscore, plain);
    EXPECT_NE(vb, plain) << "the VB name has an entry point of its own";

    // Synonyms share the operation's two entry points.
    const auto op = operationAddress.emplace(row.operation, plain).first;
    EXPECT_EQ(op->second, plain);
    const auto forwarder = vbAddress.emplace(row.operation, vb).first;
    EXPECT_EQ(forwarder->second, vb);
  }
  // No two operations share an entry point.
  std::set<FARPROC> distinct;
  for (const auto& [operation, address] : operationAddress) distinct.insert(address);
  for (const auto& [operation, address] : vbAddress) distinct.insert(address);
  EXPECT_EQ(distinct.size(), operationAddress.size() + vbAddress.size());
}

// 54 operations under 80 plain names, each name's VB, underscore and plain form on
// three consecutive ordinals from 3 up: 240 names, the last at ordinal 242.
TEST(ExportResolutionTest, TheTableNamesEveryOperationOnConsecutiveTriples) {
  ASSERT_EQ(std::size(kExportRows), 80u);
  std::set<std::string> operations;
  for (size_t i = 0; i < std::size(kExportRows); ++i) {
    EXPECT_EQ(kExportRows[i].vbOrdinal, static_cast<int>(3 + 3 * i)) << kExportRows[i].name;
    operations.insert(kExportRows[i].operation);
  }
  EXPECT_EQ(operations.size(), 54u);
  EXPECT_STREQ(kExportRows[std::size(kExportRows) - 1].name, "AbortRequest");
  EXPECT_NE(ByOrdinal(242), nullptr);
  EXPECT_EQ(ByOrdinal(242), ByName("AbortRequest"));
  EXPECT_EQ(ByOrdinal(243), nullptr);
}

TEST(ExportResolutionTest, OrdinalsOneAndTwoAndNamesOutsideTheTableAreAbsent) {
  ASSERT_EQ(MerloxDll::Get().error(), "");
  EXPECT_EQ(ByOrdinal(1), nullptr);
  EXPECT_EQ(ByOrdinal(2), nullptr);
  for (const char* name : {"VBEntry_GetNumCards", "EnterLibrary", "DllMain", "getnumcards",
                           "VB_GetNumCards", "__GetNumCards"}) {
    EXPECT_EQ(ByName(name), nullptr) << name;
  }
}

}  // namespace
}  // namespace merlox::test
