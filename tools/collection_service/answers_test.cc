#include "tools/collection_service/answers.h"

#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <boost/json.hpp>
#include <gtest/gtest.h>

#include "formats/method_catalog.h"
#include "testing/temp_dir.h"
#include "tools/collection_service/service_log.h"

namespace ostrivel::collection {
namespace {

using ostrivel::formats::LoadMethodCatalog;
using ostrivel::formats::MethodCatalog;
using ostrivel::testing::TempDir;
using ostrivel::testing::WriteFile;

std::string UniqueChannel() {
  return "answers" + std::to_string(::getpid()) +
         ::testing::UnitTest::GetInstance()->current_test_info()->name();
}

class AnswersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFile(dir_.File("shop.csv"), "ProjectName;Shop\nm0\nm1\nm2\nm3\n");
    WriteFile(dir_.File("admin.csv"), "ProjectName;Admin\na0\na1\n");
    std::string error;
    ASSERT_TRUE(LoadMethodCatalog(dir_.path(), &catalog_, &error)) << error;
    std::vector<std::string> notes;
    ASSERT_TRUE(table_.Create(channel_, catalog_, &error, &notes)) << error;
  }

  // Counts "calls" calls the way a probe does, through its own mapping.
  void Count(const std::string& application, unsigned index,
             std::uint64_t calls) {
    tools::SegmentView view;
    ASSERT_EQ(
        tools::OpenSegment(tools::SegmentName(channel_, application), &view),
        tools::OpenStatus::kOk);
    view.counters[index].fetch_add(calls);
    tools::UnmapSegment(&view);
  }

  Answer Ask(std::string_view body) {
    return AnswerRequest(body, 1, &owner_, &table_, "2014.05.06 12:34:56.789");
  }

  TempDir dir_;
  std::string channel_ = UniqueChannel();
  MethodCatalog catalog_;
  CounterTable table_;
  TestOwner owner_;
};

TEST_F(AnswersTest, AskAnswersEveryApplicationInMethodOrder) {
  Count("Shop", 0, 3);
  Count("Shop", 2, 1);
  Count("Admin", 1, 7);
  Answer answer = Ask(R"({"action":"ASK"})");
  EXPECT_EQ(answer.status, 200u);
  EXPECT_FALSE(answer.failed);
  EXPECT_EQ(answer.body, R"({"timestamp":"2014.05.06 12:34:56.789",)"
                         R"("data":{"Admin":[0,7],"Shop":[3,0,1,0]}})");
  EXPECT_EQ(answer.logLine, "ASK: counts of 2 application(s) sent");
}

TEST_F(AnswersTest, NewtcResetsEveryCountAndCarriesNoData) {
  Count("Shop", 1, 5);
  Count("Admin", 0, 2);
  Answer answer = Ask(R"({"action":"NEWTC"})");
  EXPECT_EQ(answer.status, 200u);
  EXPECT_EQ(answer.body, R"({"timestamp":"2014.05.06 12:34:56.789"})");
  EXPECT_EQ(answer.logLine, "NEWTC: counts reset");
  EXPECT_EQ(Ask(R"({"action":"ASK"})").body,
            R"({"timestamp":"2014.05.06 12:34:56.789",)"
            R"("data":{"Admin":[0,0],"Shop":[0,0,0,0]}})");
}

TEST_F(AnswersTest, CountsBeyondTheSignedIntRangeAreClamped) {
  Count("Admin", 0, 0x2'0000'0000ULL);
  EXPECT_EQ(Ask(R"({"action":"ASK"})").body,
            R"({"timestamp":"2014.05.06 12:34:56.789",)"
            R"("data":{"Admin":[2147483647,0],"Shop":[0,0,0,0]}})");
}

// The ASK answer of a catalog whose counts are set to "counts" (by
// application; missing ones stay 0), on a channel of its own.
std::string AskBody(
    const MethodCatalog& catalog,
    const std::map<std::string, std::vector<std::uint64_t>>& counts) {
  std::string channel = UniqueChannel() + "Own";
  CounterTable table;
  std::string error;
  std::vector<std::string> notes;
  EXPECT_TRUE(table.Create(channel, catalog, &error, &notes)) << error;
  for (const auto& [application, values] : counts) {
    tools::SegmentView view;
    EXPECT_EQ(
        tools::OpenSegment(tools::SegmentName(channel, application), &view),
        tools::OpenStatus::kOk);
    if (view.counters == nullptr) return "no segment";
    for (std::size_t i = 0; i < values.size(); ++i) {
      view.counters[i].store(values[i]);
    }
    tools::UnmapSegment(&view);
  }
  TestOwner owner;
  return AnswerRequest(R"({"action":"ASK"})", 1, &owner, &table, "T").body;
}

TEST(AnswerTextTest, NamesAreEscapedAsJsonStrings) {
  MethodCatalog catalog;
  for (const char* name : {"Quo\"te", "Back\\slash", "Tab\tLine\n",
                           "\x01\x1f\x7f", "Caf\xc3\xa9/\xff"}) {
    catalog.applications[name] = {"m"};
  }
  EXPECT_EQ(AskBody(catalog, {{"Quo\"te", {4}}}),
            "{\"timestamp\":\"T\",\"data\":{"
            "\"\\u0001\\u001f\x7f\":[0],"
            "\"Back\\\\slash\":[0],"
            "\"Caf\xc3\xa9/\xff\":[0],"
            "\"Quo\\\"te\":[4],"
            "\"Tab\\tLine\\n\":[0]}}");
}

TEST(AnswerTextTest, NoApplicationsAndEmptyListsGiveEmptyJson) {
  MethodCatalog none;
  EXPECT_EQ(AskBody(none, {}), R"({"timestamp":"T","data":{}})");
  MethodCatalog empty;
  empty.applications["Empty"] = {};
  empty.applications["Zero"] = {"a", "b"};
  EXPECT_EQ(AskBody(empty, {}),
            R"({"timestamp":"T","data":{"Empty":[],"Zero":[0,0]}})");
}

// Long arrays of counts of every length, across the writer's buffer: the
// text is what boost::json::serialize makes of the same numbers.
TEST(AnswerTextTest, LongArraysKeepEveryCountInOrder) {
  const std::uint64_t samples[] = {
      0,         1,          9,          10,         99,         100,  12345,
      999999999, 1000000000, 2147483646, 2147483647, 2147483648, ~0ULL};
  MethodCatalog catalog;
  std::map<std::string, std::vector<std::uint64_t>> counts;
  boost::json::object data;
  // Names in ascending order, the order of the answer.
  for (std::size_t methods : {1u, 4095u, 20000u}) {
    std::string application = "App" + std::to_string(100000 + methods);
    catalog.applications[application].resize(methods, "m");
    std::vector<std::uint64_t>& values = counts[application];
    boost::json::array expected;
    for (std::size_t i = 0; i < methods; ++i) {
      values.push_back(samples[(i * 7 + i / 13) % std::size(samples)]);
      expected.emplace_back(static_cast<std::int64_t>(
          std::min<std::uint64_t>(values[i], 0x7fffffff)));
    }
    data.emplace(application, std::move(expected));
  }
  boost::json::object reply;
  reply.emplace("timestamp", "T");
  reply.emplace("data", std::move(data));
  std::string body = AskBody(catalog, counts);
  std::string expected = boost::json::serialize(reply);
  auto [differs, unused] =
      std::mismatch(body.begin(), body.end(), expected.begin(), expected.end());
  EXPECT_EQ(body.size(), expected.size());
  EXPECT_TRUE(body == expected)
      << "first difference at byte " << (differs - body.begin()) << ": "
      << body.substr(static_cast<std::size_t>(differs - body.begin()), 40);
}

TEST_F(AnswersTest, UnusableBodiesAreRefusedWithAnErrorBody) {
  struct Case {
    std::string body;
    std::string error;
  };
  const Case cases[] = {
      {R"({"action":"FOO"})", R"(unknown action \"FOO\")"},
      {R"({"action":"ask"})", R"(unknown action \"ask\")"},
      {R"({"action":)", "malformed JSON body: incomplete JSON"},
      {"", "malformed JSON body: incomplete JSON"},
      {R"(["ASK"])", "the body is no JSON object"},
      {R"({"Action":"ASK"})", R"(the body has no string member \"action\")"},
      {R"({"action":1})", R"(the body has no string member \"action\")"},
  };
  for (const Case& c : cases) {
    Answer answer = Ask(c.body);
    EXPECT_EQ(answer.status, 400u) << c.body;
    EXPECT_TRUE(answer.failed) << c.body;
    EXPECT_EQ(answer.body, "{\"error\":\"" + c.error + "\"}") << c.body;
  }
}

TEST(MethodCatalogTest, SelectsAndReadsFilesLikeTheLibrary) {
  TempDir dir;
  WriteFile(dir.File("a.csv"), "ProjectName;A\na0\n");
  WriteFile(dir.File("list_csv"), "ProjectName;B\nb0\nb1\n");
  WriteFile(dir.File("a.CSV"), "ProjectName;Upper\nu0\n");
  WriteFile(dir.File("list.csv.bak"), "ProjectName;Backup\nk0\n");
  WriteFile(dir.File("bad.csv"), "no header\nx\n");
  std::filesystem::create_directory(dir.File("x.csv"));
  MethodCatalog catalog;
  std::string error;
  // Without the trailing "/" too.
  std::string path = dir.path().substr(0, dir.path().size() - 1);
  ASSERT_TRUE(LoadMethodCatalog(path, &catalog, &error)) << error;
  ASSERT_EQ(catalog.applications.size(), 2u);
  EXPECT_EQ(catalog.applications["A"], (std::vector<std::string>{"a0"}));
  EXPECT_EQ(catalog.applications["B"], (std::vector<std::string>{"b0", "b1"}));
  EXPECT_EQ(catalog.problems,
            (std::vector<std::string>{"\"" + dir.File("bad.csv") +
                                      "\" has no \"ProjectName\" header"}));
}

TEST(MethodCatalogTest, TwoFilesOfOneApplicationMakeOneList) {
  TempDir dir;
  WriteFile(dir.File("one.csv"), "ProjectName;A\nx0\nx1\n");
  WriteFile(dir.File("two.csv"), "ProjectName;A\ny0\n");
  MethodCatalog catalog;
  std::string error;
  ASSERT_TRUE(LoadMethodCatalog(dir.path(), &catalog, &error)) << error;
  EXPECT_EQ(catalog.applications["A"].size(), 3u);
}

TEST(MethodCatalogTest, AMissingDirectoryIsAnError) {
  TempDir dir;
  MethodCatalog catalog;
  std::string error;
  EXPECT_FALSE(LoadMethodCatalog(dir.File("none"), &catalog, &error));
  EXPECT_EQ(error, "the methods directory \"" + dir.File("none") +
                       "\" cannot be read: No such file or directory");
}

TEST(TimestampTest, IsLocalTimeWithMilliseconds) {
  std::tm local{};
  local.tm_year = 2014 - 1900;
  local.tm_mon = 4;
  local.tm_mday = 6;
  local.tm_hour = 2;
  local.tm_min = 4;
  local.tm_sec = 6;
  local.tm_isdst = -1;
  auto time = std::chrono::system_clock::from_time_t(std::mktime(&local)) +
              std::chrono::milliseconds(7);
  EXPECT_EQ(FormatTimestamp(time), "2014.05.06 02:04:06.007");
}

TEST(TimestampTest, TheAnswerClockStartsAtTheWallClockAndNeverGoesBack) {
  using std::chrono::hours;
  using std::chrono::milliseconds;
  const auto start = std::chrono::system_clock::from_time_t(1399337696);
  auto wall = start;
  std::chrono::steady_clock::time_point steady{hours(5)};
  AnswerClock clock([&] { return wall; }, [&] { return steady; });
  EXPECT_EQ(clock.Now(), start);

  // The system clock is set back an hour, then two hours ahead; only the
  // monotonic time that passed meanwhile moves the answers' clock.
  steady += milliseconds(1500);
  wall -= hours(1);
  EXPECT_EQ(clock.Now(), start + milliseconds(1500));
  steady += milliseconds(7);
  wall += hours(2);
  EXPECT_EQ(clock.Now(), start + milliseconds(1507));
}

}  // namespace
}  // namespace ostrivel::collection
