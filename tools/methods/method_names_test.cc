#include "tools/methods/method_names.h"

#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace ostrivel::methods {
namespace {

struct SplitCase {
  std::string demangled;
  std::string scope;
  std::string method;
};

void PrintTo(const SplitCase& value, std::ostream* out) {
  *out << value.demangled;
}

class SplitQualifiedNameTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitQualifiedNameTest, CutsScopeFromMethod) {
  QualifiedName name = SplitQualifiedName(GetParam().demangled);
  EXPECT_EQ(name.scope, GetParam().scope);
  EXPECT_EQ(name.method, GetParam().method);
}

INSTANTIATE_TEST_SUITE_P(
    Names, SplitQualifiedNameTest,
    ::testing::Values(
        SplitCase{"plain_c", "", "plain_c"}, SplitCase{"main", "", "main"},
        SplitCase{"shop::Cart::Add(int) const", "shop::Cart", "Add(int) const"},
        SplitCase{"shop::Box<std::map<int, int> >::Get(std::pair<int, int>)",
                  "shop::Box<std::map<int, int> >", "Get(std::pair<int, int>)"},
        SplitCase{"int shop::Twice<int>(int)", "shop", "Twice<int>(int)"},
        SplitCase{"shop::(anonymous namespace)::Hidden(int)",
                  "shop::(anonymous namespace)", "Hidden(int)"},
        SplitCase{"shop::Cart::operator<<(int)", "shop::Cart",
                  "operator<<(int)"},
        SplitCase{"shop::Cart::operator()(int) const", "shop::Cart",
                  "operator()(int) const"},
        SplitCase{"operator new(unsigned long, void*)", "",
                  "operator new(unsigned long, void*)"},
        SplitCase{"shop::Run()::{lambda(int)#1}::operator()(int) const", "shop",
                  "Run()::{lambda(int)#1}::operator()(int) const"},
        SplitCase{"(::new ((void*)(0)) char((declval<char const&>)())) "
                  "std::construct_at<char, char const&>(char*, char const&)",
                  "std", "construct_at<char, char const&>(char*, char const&)"},
        SplitCase{"shop::Cart::~Cart()", "shop::Cart", "~Cart()"}));

FunctionSymbol Symbol(std::uint64_t address, const std::string& name,
                      bool global = true) {
  return FunctionSymbol{address, 16, name, global};
}

std::vector<std::string> Lines(const std::vector<Method>& methods) {
  std::vector<std::string> lines;
  for (const Method& method : methods) lines.push_back(MethodLine(method));
  return lines;
}

TEST(SelectMethodsTest, LeavesOutToolchainHelpersClonesAndTheStandardLibrary) {
  std::vector<FunctionSymbol> symbols = {
      Symbol(0x1000, "_start"),
      Symbol(0x1010, "deregister_tm_clones", false),
      Symbol(0x1020, "register_tm_clones", false),
      Symbol(0x1030, "__do_global_dtors_aux", false),
      Symbol(0x1040, "frame_dummy", false),
      Symbol(0x1050, "_init"),
      Symbol(0x1060, "_fini"),
      Symbol(0x1070, "__libc_csu_init"),
      Symbol(0x1080, "_GLOBAL__sub_I_main", false),
      Symbol(0x1088, "_sub_I_00099_1", false),
      Symbol(0x1090, "_Z41__static_initialization_and_destruction_0ii", false),
      Symbol(0x10a0, "__cyg_profile_func_enter"),
      Symbol(0x10b0, "ostrivel_probe_count"),
      Symbol(0x10c0, "_ZN4shop5AlphaEi.cold", false),
      Symbol(0x10d0, "_ZN4shop5AlphaEi.constprop.0", false),
      Symbol(0x10e0,
             "_ZNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEE4sizeEv"),
      Symbol(0x10f0, "_ZN9__gnu_cxx11char_traitsIcE2eqERKcS3_"),
      Symbol(0x1100, "_ZnwmPv"),
      Symbol(0x2000, "main"),
      Symbol(0x2010, "_ZN4shop5AlphaEi"),
      Symbol(0x2020, "_helper", false),
  };
  EXPECT_EQ(Lines(SelectMethods(symbols, {})),
            (std::vector<std::string>{"0x2000;main;", "0x2010;Alpha(int);shop",
                                      "0x2020;_helper;"}));
  Selection keep;
  keep.keepStandardLibrary = true;
  EXPECT_EQ(SelectMethods(symbols, keep).size(), 6u);
}

TEST(SelectMethodsTest, KeepsOneNamePerAddressInAddressOrder) {
  std::vector<FunctionSymbol> symbols = {
      Symbol(0x30, "_ZN4shop4CartC2Ei"),
      Symbol(0x30, "_ZN4shop4CartC1Ei"),
      Symbol(0x20, "local_alias", false),
      Symbol(0x20, "z_global"),
      Symbol(0x10, "first"),
  };
  EXPECT_EQ(Lines(SelectMethods(symbols, {})),
            (std::vector<std::string>{"0x10;first;", "0x20;z_global;",
                                      "0x30;Cart(int);shop::Cart"}));
}

TEST(SelectMethodsTest, IncludeAndExcludePatternsApplyToDemangledNames) {
  std::vector<FunctionSymbol> symbols = {
      Symbol(0x10, "_ZN4shop5AlphaEi"), Symbol(0x20, "_ZN4shop4BetaEi"),
      Symbol(0x30, "_ZN5admin5GammaEv"), Symbol(0x40, "main")};
  std::string error;
  Selection selection;
  selection.include.push_back(*Pattern::Compile("^shop::", &error));
  selection.exclude.push_back(*Pattern::Compile("Beta", &error));
  EXPECT_EQ(Lines(SelectMethods(symbols, selection)),
            (std::vector<std::string>{"0x10;Alpha(int);shop"}));
}

TEST(MethodLineTest, KeepsTheFormatForAnyName) {
  EXPECT_EQ(MethodLine(Method{0xabc, {"a;b", "f(x;y)"}}), "0xabc;f(x,y);a,b");
  std::string longScope(2000, 's');
  std::string longMethod(2000, 'm');
  for (const Method& method :
       {Method{0x1234, {longScope, longMethod}},
        Method{0x1234, {"", longMethod}}, Method{0x1234, {longScope, "f()"}}}) {
    std::string line = MethodLine(method);
    EXPECT_EQ(line.size(), 1023u);
    EXPECT_EQ(line.rfind("0x1234;", 0), 0u);
    EXPECT_NE(line.find("..."), std::string::npos);
  }
  EXPECT_EQ(MethodLine(Method{0x1234, {longScope, "f()"}}),
            "0x1234;f();" + std::string(1023 - 11 - 3, 's') + "...");
}

TEST(MethodListTextTest, StartsWithTheHeaderAndEndsEveryLine) {
  EXPECT_EQ(MethodListText("Shop", {Method{0x10, {"shop", "Alpha(int)"}},
                                    Method{0x20, {"", "main"}}}),
            "ProjectName;Shop\n0x10;Alpha(int);shop\n0x20;main;\n");
  EXPECT_EQ(MethodListText("Shop", {}), "ProjectName;Shop\n");
}

}  // namespace
}  // namespace ostrivel::methods
