#include "bench/report_data.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <future>
#include <memory>
#include <string_view>
#include <system_error>
#include <utility>

#include "formats/result_format.h"
#include "formats/trace_format.h"

namespace ostrivel::bench {
namespace {

// What a seed-derived stream of numbers is used for; each purpose draws
// from its own stream, so that changing one part of the shape (say, the
// number of runs) leaves the others as they were.
enum Purpose : std::uint64_t {
  kLayout = 1,
  kTestShape = 2,
  kCalls = 3,
  kOnlyOne = 4,
  kName = 5,
  kRuntime = 6,
};

// splitmix64's finaliser: a cheap mix with every input bit reaching every
// output bit.
std::uint64_t Mix(std::uint64_t x) {
  x += 0x9e3779b97f4a7c15ull;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
  return x ^ (x >> 31);
}

// splitmix64. The standard distributions differ between standard libraries;
// these mappings do not, so a seed gives the same data everywhere.
class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}

  std::uint64_t Next() {
    state_ += 0x9e3779b97f4a7c15ull;
    std::uint64_t z = state_;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
  }
  // Uniform in [0, n); n > 0.
  std::uint32_t Below(std::uint32_t n) {
    return static_cast<std::uint32_t>(((Next() >> 32) * n) >> 32);
  }
  // Uniform in [low, high].
  std::uint32_t Between(std::uint32_t low, std::uint32_t high) {
    return low + Below(high - low + 1);
  }
  // Uniform in [0, 1).
  double Unit() { return static_cast<double>(Next() >> 11) * 0x1.0p-53; }
  bool Chance(double probability) { return Unit() < probability; }

 private:
  std::uint64_t state_;
};

template <std::size_t N>
const char* Pick(Random& random, const std::array<const char*, N>& words) {
  return words[random.Below(static_cast<std::uint32_t>(N))];
}

constexpr std::array<const char*, 10> kApplicationNames = {
    "Orders",   "Billing",  "Catalog", "Inventory", "Shipping",
    "Payments", "Accounts", "Search",  "Reviews",   "Pricing"};

// "checkout" comes first: every application gets a feature of that name.
constexpr std::array<const char*, 36> kFeatureModules = {
    "checkout", "cart",      "pricing", "discount",     "tax",
    "invoice",  "payment",   "refund",  "shipping",     "tracking",
    "stock",    "warehouse", "catalog", "search",       "ranking",
    "review",   "rating",    "account", "login",        "session",
    "profile",  "address",   "notify",  "email",        "export",
    "import",   "report",    "audit",   "currency",     "coupon",
    "wishlist", "recommend", "loyalty", "subscription", "fraud",
    "returns"};

constexpr std::array<const char*, 10> kDeadModules = {
    "admin",  "batch",       "compat",  "maintenance", "migration",
    "legacy", "integration", "tooling", "scheduler",   "plugin"};

constexpr std::array<const char*, 12> kClassSuffixes = {
    "Service", "Controller", "Repository", "Validator", "Builder", "Handler",
    "Mapper",  "Policy",     "Client",     "View",      "Cache",   "Factory"};

constexpr std::array<const char*, 27> kVerbs = {
    "get",    "set",      "load",    "save",    "find",    "create", "update",
    "remove", "validate", "compute", "apply",   "build",   "parse",  "format",
    "check",  "render",   "send",    "receive", "open",    "close",  "merge",
    "split",  "reset",    "notify",  "refresh", "resolve", "lookup"};

constexpr std::array<const char*, 20> kNouns = {
    "Order", "Item",     "Cart",   "Price",   "Total", "Customer", "Address",
    "Line",  "Discount", "Tax",    "Invoice", "Token", "Session",  "Record",
    "Entry", "Batch",    "Status", "Limit",   "Rule",  "Quote"};

constexpr std::array<const char*, 9> kParameters = {
    "()",
    "(int)",
    "(int, int)",
    "(std::string const&)",
    "(Order const&)",
    "(std::vector<Item, std::allocator<Item> > const&)",
    "(long, bool)",
    "(double)",
    "(char const*, unsigned long)"};

constexpr std::array<const char*, 20> kSuites = {
    "Orders",   "Cart",    "Checkout",      "Payments", "Search",
    "Login",    "Catalog", "Shipping",      "Returns",  "Inventory",
    "Accounts", "Reviews", "Pricing",       "Coupons",  "Reports",
    "Admin",    "Export",  "Notifications", "Sessions", "Import"};

constexpr std::array<const char*, 24> kCases = {
    "PlaceOrder",    "CancelOrder",   "ApplyCoupon",     "RemoveItem",
    "AddItem",       "PayByCard",     "PayByInvoice",    "Refund",
    "FindProduct",   "SortResults",   "LogIn",           "LogOut",
    "ResetPassword", "ChangeAddress", "TrackParcel",     "ReturnParcel",
    "UpdateStock",   "ExportCsv",     "ImportCsv",       "RateProduct",
    "WriteReview",   "ComputeTax",    "ConvertCurrency", "ExpireSession"};

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

std::string Capitalised(std::string_view text) {
  std::string word(text);
  if (!word.empty() && word[0] >= 'a' && word[0] <= 'z') {
    word[0] = static_cast<char>(word[0] - 'a' + 'A');
  }
  return word;
}

// The i-th name of a vocabulary, numbered once the vocabulary is used up.
template <std::size_t N>
std::string Numbered(const std::array<const char*, N>& words, std::size_t i) {
  std::string name = words[i % N];
  if (i >= N) name += std::to_string(i / N + 1);
  return name;
}

void AppendInteger(std::string& text, std::int64_t value) {
  char digits[24];
  auto result = std::to_chars(digits, digits + sizeof(digits), value);
  text.append(digits, result.ptr);
}

void AppendNumber(std::string& text, double value) {
  text += formats::FormatNumber(value);
}

// Kinds of test shapes: how many features a test touches in one
// application, in percent: 10% none, 20% one, ..., 3% six.
constexpr std::array<int, 7> kFeaturesTouched = {10, 20, 25, 20, 15, 7, 3};

// Kinds of tests by the number of methods only they reach, in percent.
constexpr std::array<int, 4> kOnlyOneCount = {20, 35, 30, 15};

template <std::size_t N>
int Weighted(Random& random, const std::array<int, N>& percents) {
  int draw = static_cast<int>(random.Below(100));
  for (std::size_t i = 0; i < N; ++i) {
    if (draw < percents[i]) return static_cast<int>(i);
    draw -= percents[i];
  }
  return static_cast<int>(N) - 1;
}

// Call counts by kind of method: the core is busy, a feature's methods
// mostly run a few times, a method only one test reaches runs once or twice.
std::int32_t CoreCalls(Random& random) {
  double kind = random.Unit();
  if (kind < 0.6) return static_cast<std::int32_t>(random.Between(1, 100));
  if (kind < 0.9) return static_cast<std::int32_t>(random.Between(100, 5000));
  return static_cast<std::int32_t>(random.Between(5000, 50000));
}

std::int32_t FeatureCalls(Random& random) {
  double kind = random.Unit();
  if (kind < 0.75) return static_cast<std::int32_t>(random.Between(1, 10));
  if (kind < 0.95) return static_cast<std::int32_t>(random.Between(11, 300));
  return static_cast<std::int32_t>(random.Between(300, 9000));
}

}  // namespace

ReportData::ReportData(const ReportDataShape& shape) : shape_(shape) {
  std::vector<std::string> names;
  names.reserve(static_cast<std::size_t>(shape_.applications));
  for (int a = 0; a < shape_.applications; ++a) {
    names.push_back(Numbered(kApplicationNames, static_cast<std::size_t>(a)));
  }
  // Rows come in ascending byte order of the application names.
  std::sort(names.begin(), names.end());
  applicationNames_ = names;
  applicationShapes_.resize(names.size());
  for (std::size_t a = 0; a < names.size(); ++a) {
    BuildApplication(static_cast<int>(a), names[a],
                     static_cast<std::uint32_t>(shape_.methods));
  }
  HandOutOnlyOnePools();
}

ReportData::ReportData(const ReportDataShape& shape,
                       std::vector<GivenMethodList> lists)
    : shape_(shape) {
  std::sort(lists.begin(), lists.end(),
            [](const GivenMethodList& a, const GivenMethodList& b) {
              return a.application < b.application;
            });
  shape_.applications = static_cast<int>(lists.size());
  shape_.methods = 0;
  applicationShapes_.resize(lists.size());
  for (std::size_t a = 0; a < lists.size(); ++a) {
    applicationNames_.push_back(lists[a].application);
    const auto methods = static_cast<std::uint32_t>(lists[a].lines.size());
    shape_.methods = std::max(shape_.methods, static_cast<int>(methods));
    // The layout is drawn as for invented names, then the names replaced.
    BuildApplication(static_cast<int>(a), lists[a].application, methods);
    applicationShapes_[a].lines = std::move(lists[a].lines);
    applicationShapes_[a].buildId = std::move(lists[a].buildId);
  }
  HandOutOnlyOnePools();
}

void ReportData::HandOutOnlyOnePools() {
  // The pools are handed out test by test, so each method goes to one test.
  for (int a = 0; a < shape_.applications; ++a) {
    Application& application = applicationShapes_[a];
    const auto poolSize =
        static_cast<std::uint32_t>(application.onlyOnePool.size());
    application.onlyOneStart.assign(1, 0);
    for (int t = 0; t < shape_.tests; ++t) {
      std::uint32_t start = application.onlyOneStart.back();
      auto wanted = static_cast<std::uint32_t>(OnlyOneWanted(t, a));
      application.onlyOneStart.push_back(start +
                                         std::min(wanted, poolSize - start));
    }
  }
}

std::uint64_t ReportData::Key(std::uint64_t a, std::uint64_t b,
                              std::uint64_t c) const {
  return Mix(Mix(Mix(Mix(shape_.seed) ^ a) ^ b) ^ c);
}

void ReportData::BuildApplication(int index, const std::string& name,
                                  std::uint32_t methods) {
  Application& application = applicationShapes_[index];
  Random random(Key(kLayout, static_cast<std::uint64_t>(index), 0));

  // The core is linked first and so sits at the start of the list, which
  // goes in address order.
  const std::uint32_t coreSize =
      std::min(methods, std::max<std::uint32_t>(1, (methods + 50) / 100));
  struct Segment {
    std::uint32_t begin;
    std::uint32_t end;
    bool feature;
    std::string module;
  };
  std::vector<Segment> segments = {{0, coreSize, false, "core"}};
  std::size_t features = 0;
  std::size_t deadModules = 0;
  for (std::uint32_t position = coreSize; position < methods;) {
    const bool feature = features == 0 || random.Chance(0.45);
    std::uint32_t size =
        feature ? random.Between(50, 200) : random.Between(20, 140);
    size = std::min(size, methods - position);
    segments.push_back({position, position + size, feature,
                        feature ? Numbered(kFeatureModules, features++)
                                : Numbered(kDeadModules, deadModules++)});
    position += size;
  }

  const std::string space = Lower(name);
  std::uint64_t address = 0x401000 + 16 * random.Below(4096);
  application.lines.reserve(methods);
  for (const Segment& segment : segments) {
    std::string className;
    std::uint32_t classLeft = 0;
    for (std::uint32_t p = segment.begin; p < segment.end; ++p) {
      if (classLeft == 0) {
        className = Capitalised(segment.module) + Pick(random, kClassSuffixes);
        classLeft = random.Between(8, 30);
      }
      --classLeft;
      address += std::uint64_t{16} * random.Between(1, 40);
      std::string scope = space;
      scope.append("::").append(segment.module).append("::").append(className);
      std::string line = "0x";
      char hex[16];
      auto result = std::to_chars(hex, hex + sizeof(hex), address, 16);
      line.append(hex, result.ptr);
      line += ';';
      line += scope;
      line += "::";
      // Checking out happens mostly in its own feature and rarely
      // elsewhere, never in the core: a query for it picks some tests, not
      // all.
      const double checkout = segment.module == "checkout" ? 0.2
                              : segment.module == "core"   ? 0.0
                                                           : 0.002;
      line += random.Chance(checkout) ? "checkout" : Pick(random, kVerbs);
      line += Pick(random, kNouns);
      line += Pick(random, kParameters);
      line += ';';
      line += scope;
      application.lines.push_back(std::move(line));
    }
  }

  for (const Segment& segment : segments) {
    if (segment.module == "core") {
      for (std::uint32_t p = segment.begin; p < segment.end; ++p) {
        application.core.push_back(p);
      }
    } else if (segment.feature) {
      Feature feature{segment.begin, segment.end, {}};
      // The entry method is what touching the feature means; error paths
      // among the rest are never taken.
      feature.reachable.push_back(segment.begin);
      for (std::uint32_t p = segment.begin + 1; p < segment.end; ++p) {
        if (!random.Chance(0.15)) feature.reachable.push_back(p);
      }
      application.features.push_back(std::move(feature));
    } else {
      for (std::uint32_t p = segment.begin; p < segment.end; ++p) {
        application.onlyOnePool.push_back(p);
      }
    }
  }
  // Popularity follows the feature's place in this order, not its address.
  auto shuffle = [&random](auto& items) {
    for (std::size_t i = items.size(); i > 1; --i) {
      std::swap(items[i - 1],
                items[random.Below(static_cast<std::uint32_t>(i))]);
    }
  };
  shuffle(application.features);
  shuffle(application.onlyOnePool);
}

const std::vector<std::string>& ReportData::MethodLines(int application) const {
  return applicationShapes_[application].lines;
}

const std::string& ReportData::BuildId(int application) const {
  return applicationShapes_[application].buildId;
}

std::string ReportData::TestName(int test) const {
  Random random(Key(kName, static_cast<std::uint64_t>(test), 0));
  std::string name = Pick(random, kSuites);
  name += '.';
  name += Pick(random, kCases);
  name += '_';
  AppendInteger(name, test);
  return name;
}

int ReportData::OnlyOneWanted(int test, int application) const {
  Random random(Key(kOnlyOne, static_cast<std::uint64_t>(test), 0));
  const int count = Weighted(random, kOnlyOneCount);
  int wanted = 0;
  for (int i = 0; i < count; ++i) {
    if (random.Below(static_cast<std::uint32_t>(shape_.applications)) ==
        static_cast<std::uint32_t>(application)) {
      ++wanted;
    }
  }
  return wanted;
}

std::vector<std::uint32_t> ReportData::OnlyThisTest(int test,
                                                    int application) const {
  const Application& shape = applicationShapes_[application];
  return std::vector<std::uint32_t>(
      shape.onlyOnePool.begin() + shape.onlyOneStart[test],
      shape.onlyOnePool.begin() + shape.onlyOneStart[test + 1]);
}

std::vector<MethodCalls> ReportData::Calls(int test, int application,
                                           int run) const {
  const Application& shape = applicationShapes_[application];
  // Which methods a test reaches is fixed; how often varies with the run.
  Random structure(Key(kTestShape, static_cast<std::uint64_t>(test),
                       static_cast<std::uint64_t>(application)));
  Random calls(Key(kCalls + (static_cast<std::uint64_t>(run) << 8),
                   static_cast<std::uint64_t>(test),
                   static_cast<std::uint64_t>(application)));
  std::vector<MethodCalls> reached;
  for (std::uint32_t p : shape.core) reached.push_back({p, CoreCalls(calls)});

  const auto featureCount = static_cast<std::uint32_t>(shape.features.size());
  if (featureCount > 0) {
    // Tests of one suite mostly share their features.
    Random naming(Key(kName, static_cast<std::uint64_t>(test), 0));
    const std::uint32_t suite =
        naming.Below(static_cast<std::uint32_t>(kSuites.size()));
    const std::uint32_t suiteFeature =
        suite * featureCount / static_cast<std::uint32_t>(kSuites.size());
    const int touched = Weighted(structure, kFeaturesTouched);
    std::vector<std::uint32_t> chosen;
    for (int i = 0; i < touched; ++i) {
      const double u = structure.Unit();
      const std::uint32_t f =
          structure.Chance(0.75)
              ? (suiteFeature +
                 static_cast<std::uint32_t>(featureCount / 4.0 * u * u)) %
                    featureCount
              : structure.Below(featureCount);
      if (std::find(chosen.begin(), chosen.end(), f) != chosen.end()) continue;
      chosen.push_back(f);
      const Feature& feature = shape.features[f];
      const double share = 0.2 + 0.7 * structure.Unit();
      for (std::uint32_t p : feature.reachable) {
        if (p == feature.begin || structure.Chance(share)) {
          reached.push_back({p, FeatureCalls(calls)});
        }
      }
    }
  }

  for (std::uint32_t i = shape.onlyOneStart[test];
       i < shape.onlyOneStart[test + 1]; ++i) {
    reached.push_back(
        {shape.onlyOnePool[i], static_cast<std::int32_t>(calls.Between(1, 3))});
  }
  std::sort(reached.begin(), reached.end(),
            [](const MethodCalls& left, const MethodCalls& right) {
              return left.position < right.position;
            });
  return reached;
}

std::int64_t ReportData::RuntimeMs(int test, int run) const {
  // Log-uniform from 5 ms to a minute: most tests are quick, a few slow.
  Random base(Key(kRuntime, static_cast<std::uint64_t>(test), 0));
  Random jitter(Key(kRuntime, static_cast<std::uint64_t>(test),
                    static_cast<std::uint64_t>(run) + 1));
  const double typical = 5.0 * std::exp(base.Unit() * std::log(12000.0));
  const double runtime = typical * (0.8 + 0.4 * jitter.Unit());
  return std::clamp<std::int64_t>(std::llround(runtime), 5, 60000);
}

namespace {

// The decimal text of every position 0 .. n-1, each followed by a blank, in
// one string: a run of consecutive positions, which is most of a row's
// "not covered" field, is then one copy.
class PositionText {
 public:
  explicit PositionText(std::uint32_t count) {
    offsets_.reserve(count + 1);
    for (std::uint32_t p = 0; p < count; ++p) {
      offsets_.push_back(text_.size());
      AppendInteger(text_, p);
      text_ += ' ';
    }
    offsets_.push_back(text_.size());
  }

  // Positions begin .. end-1, blank-separated. REQUIRES: begin < end.
  void AppendRange(std::string& out, std::uint32_t begin,
                   std::uint32_t end) const {
    out.append(text_.data() + offsets_[begin],
               offsets_[end] - offsets_[begin] - 1);
  }

 private:
  std::string text_;
  std::vector<std::size_t> offsets_;
};

void AppendRow(std::string& out, const std::string& testName,
               const std::string& application,
               const std::vector<MethodCalls>& calls, std::uint32_t methods,
               std::int64_t runtime, const PositionText& positions) {
  out += testName;
  out += ';';
  out += application;
  out += ';';
  std::int64_t traceLength = 0;
  for (const MethodCalls& c : calls) traceLength += c.calls;
  AppendNumber(out, static_cast<double>(traceLength));
  out += ';';
  // The library's own expression, so that the last digit agrees.
  AppendNumber(out, static_cast<double>(calls.size()) /
                        static_cast<double>(methods) * 100.0);
  out += ';';
  AppendNumber(out, static_cast<double>(runtime));
  out += ';';
  for (std::size_t i = 0; i < calls.size(); ++i) {
    if (i != 0) out += ' ';
    positions.AppendRange(out, calls[i].position, calls[i].position + 1);
  }
  out += ';';
  std::uint32_t next = 0;
  bool first = true;
  auto gap = [&](std::uint32_t end) {
    if (next >= end) return;
    if (!first) out += ' ';
    positions.AppendRange(out, next, end);
    first = false;
  };
  for (const MethodCalls& c : calls) {
    gap(c.position);
    next = c.position + 1;
  }
  gap(methods);
  out += "\r\n";
}

std::string TraceText(const std::vector<std::string>& lines,
                      const std::vector<MethodCalls>& calls) {
  std::string text = std::string(formats::kTraceHeader) + "\r\n";
  for (const MethodCalls& c : calls) {
    text += lines[c.position];
    text += ';';
    AppendInteger(text, c.calls);
    text += "\r\n";
  }
  return text;
}

bool WriteWholeFile(const std::string& path, std::string_view bytes,
                    std::string* error) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) {
    *error = "cannot create " + path;
    return false;
  }
  const bool written =
      std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  if (std::fclose(file) != 0 || !written) {
    *error = "cannot write " + path;
    return false;
  }
  return true;
}

// The rows of a few consecutive tests of one run, and the trace files of
// the last run written on the side.
struct Batch {
  std::string rows;
  std::uint64_t traceFiles = 0;
  std::uint64_t traceBytes = 0;
  std::string error;
};

constexpr int kTestsPerBatch = 16;

Batch MakeBatch(const ReportData& data, const PositionText& positions,
                const std::string& traceBase, int run, int firstTest) {
  Batch batch;
  const ReportDataShape& shape = data.shape();
  const int lastTest = std::min(shape.tests, firstTest + kTestsPerBatch);
  const bool lastRun = run == shape.runs - 1;
  for (int t = firstTest; t < lastTest; ++t) {
    const std::string name = data.TestName(t);
    const std::int64_t runtime = data.RuntimeMs(t, run);
    for (int a = 0; a < shape.applications; ++a) {
      const std::string& application = data.applications()[a];
      const auto methods =
          static_cast<std::uint32_t>(data.MethodLines(a).size());
      const std::vector<MethodCalls> calls = data.Calls(t, a, run);
      AppendRow(batch.rows, name, application, calls, methods, runtime,
                positions);
      if (!lastRun) continue;
      const std::string trace = TraceText(data.MethodLines(a), calls);
      std::string path = traceBase;
      path.append(name).append("_").append(application).append("_trace.csv");
      if (!WriteWholeFile(path, trace, &batch.error)) return batch;
      ++batch.traceFiles;
      batch.traceBytes += trace.size();
    }
  }
  return batch;
}

}  // namespace

std::optional<WrittenFiles> WriteReportData(const ReportData& data,
                                            const std::string& directory,
                                            int threads, std::string* error) {
  namespace fs = std::filesystem;
  std::error_code failure;
  const fs::path root = fs::absolute(directory, failure);
  if (failure) {
    *error = "cannot resolve " + directory + ": " + failure.message();
    return std::nullopt;
  }
  for (const char* part : {"traces", "methods"}) {
    fs::remove_all(root / part, failure);
    if (!failure) fs::create_directories(root / part, failure);
    if (failure) {
      *error =
          "cannot prepare " + (root / part).string() + ": " + failure.message();
      return std::nullopt;
    }
  }
  std::string base = root.lexically_normal().string();
  if (base.empty() || base.back() != '/') base += '/';
  const std::string traceBase = base + "traces/";
  const std::string methodsBase = base + "methods/";
  const std::string resultPath = base + "result.csv";
  WrittenFiles written;

  const ReportDataShape& shape = data.shape();
  for (int a = 0; a < shape.applications; ++a) {
    const std::string& application = data.applications()[a];
    std::string text = "ProjectName;" + application + "\n";
    for (const std::string& line : data.MethodLines(a)) {
      text += line;
      text += '\n';
    }
    if (!WriteWholeFile(methodsBase + application + ".csv", text, error)) {
      return std::nullopt;
    }
    written.methodBytes += text.size();
    if (!data.BuildId(a).empty() &&
        !WriteWholeFile(methodsBase + application + ".csv.build-id",
                        data.BuildId(a), error)) {
      return std::nullopt;
    }
  }
  const std::string config = "res_location: " + resultPath +
                             "\nbase_location: " + traceBase +
                             "\nmethods_location: " + methodsBase + "\n";
  if (!WriteWholeFile(base + "ostrivel.conf", config, error)) {
    return std::nullopt;
  }

  std::unique_ptr<std::FILE, int (*)(std::FILE*)> result(
      std::fopen(resultPath.c_str(), "wb"), &std::fclose);
  if (!result) {
    *error = "cannot create " + resultPath;
    return std::nullopt;
  }
  const std::string header = std::string(formats::kResultHeader) + "\r\n";
  bool resultWritten = std::fwrite(header.data(), 1, header.size(),
                                   result.get()) == header.size();
  written.resultBytes += header.size();

  // Batches are made in parallel and written in order: at most "threads"
  // are in the making while this thread writes the oldest.
  const PositionText positions(static_cast<std::uint32_t>(shape.methods));
  const std::size_t window = static_cast<std::size_t>(std::max(1, threads));
  std::deque<std::future<Batch>> pending;
  int nextRun = 0;
  int nextTest = 0;
  auto launch = [&] {
    pending.push_back(std::async(std::launch::async, MakeBatch, std::cref(data),
                                 std::cref(positions), std::cref(traceBase),
                                 nextRun, nextTest));
    nextTest += kTestsPerBatch;
    if (nextTest >= shape.tests) {
      nextTest = 0;
      ++nextRun;
    }
  };
  while (pending.size() < window && nextRun < shape.runs) launch();
  while (!pending.empty()) {
    Batch batch = pending.front().get();
    pending.pop_front();
    if (!batch.error.empty()) {
      *error = batch.error;
      return std::nullopt;
    }
    if (nextRun < shape.runs) launch();
    resultWritten =
        resultWritten && std::fwrite(batch.rows.data(), 1, batch.rows.size(),
                                     result.get()) == batch.rows.size();
    written.resultBytes += batch.rows.size();
    written.traceFiles += batch.traceFiles;
    written.traceBytes += batch.traceBytes;
  }
  if (std::fclose(result.release()) != 0 || !resultWritten) {
    *error = "cannot write " + resultPath;
    return std::nullopt;
  }
  return written;
}

}  // namespace ostrivel::bench
