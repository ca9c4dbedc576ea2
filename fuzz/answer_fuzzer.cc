// The answer path: the bytes of the input arrive as the service's answer, in
// receives whose sizes the input chooses, and go through the request
// exchange into the decoding and the evaluation, which write the log, the
// result file and the trace files into the scratch directory. Once the bytes
// run out the connection ends, so that no input can make the exchange wait.
//
// Layout of an input (missing bytes count as 0):
//   byte 0   options
//            bits 0-1  how the connection ends: 1 reset, 2 timed out,
//                      0 and 3 closed by the service
//            bit 2     the log at level 0 (debug) instead of errors only
//            bit 3     a second exchange ("ASK") follows the first
//                      ("NEWTC") while the connection stands
//            bits 4-5  the test name: "Login", "", "a;b" or "T 1"
//   byte 1   n, the number of chunk sizes that follow (its low 3 bits)
//   n bytes  the sizes of the receives, used in turn: 1 to 255 bytes, 0 for
//            1024 (the most one receive takes); without any, 1024 each
//   rest     the bytes the service sends
//
// The applications "Shop" (4 methods), "Admin" (2), "Alpha" (3) and "" (1)
// have method lists, so that trace files are written for matching answers.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "coverage/method_list.h"
#include "coverage/result_file.h"
#include "coverage/trace_file.h"
#include "formats/trace_format.h"
#include "fuzz/fuzz_environment.h"
#include "harness/state.h"
#include "platform/operations.h"
#include "service/exchange.h"

namespace {

namespace fs = std::filesystem;
using ostrivel::fuzz::Check;
using ostrivel::platform::ReceiveResult;
using ostrivel::platform::ReceiveStatus;

constexpr ostrivel::platform::Socket kServiceSocket = 7;
constexpr std::size_t kLargestReceive = 1024;

// What the fake service hands out during one input.
struct Feed {
  std::string_view bytes;
  std::vector<std::size_t> sizes;
  std::size_t nextSize = 0;
  ReceiveStatus end = ReceiveStatus::kClosed;
  int endsReported = 0;

  ReceiveResult Receive(char* buffer, std::size_t size) {
    if (bytes.empty()) {
      ++endsReported;
      return ReceiveResult{end, 0};
    }
    std::size_t chunk = kLargestReceive;
    if (!sizes.empty()) chunk = sizes[nextSize++ % sizes.size()];
    chunk = std::min({chunk, size, bytes.size()});
    std::memcpy(buffer, bytes.data(), chunk);
    bytes.remove_prefix(chunk);
    return ReceiveResult{ReceiveStatus::kData, chunk};
  }
};

Feed feed;
ostrivel::coverage::MethodLists methodLists;

void Prepare() {
  ostrivel::fuzz::InstallQuietPlatform();
  ostrivel::platform::Operations ops = ostrivel::platform::Current();
  ops.openSocket = [] { return ostrivel::platform::kNoSocket; };
  ops.connect = [](ostrivel::platform::Socket,
                   const ostrivel::platform::Ipv4Address&, std::uint16_t,
                   int) { return false; };
  ops.setKeepAlive = [](ostrivel::platform::Socket) { return true; };
  ops.send = [](ostrivel::platform::Socket, const char*, std::size_t size) {
    return static_cast<long>(size);
  };
  ops.receive = [](ostrivel::platform::Socket socket, char* buffer,
                   std::size_t size, int) {
    Check(socket == kServiceSocket, "a receive on another socket");
    return feed.Receive(buffer, size);
  };
  ops.closeSocket = [](ostrivel::platform::Socket) {};
  ostrivel::platform::Install(std::move(ops));

  ostrivel::fuzz::ClearScratch();
  const std::string methods = ostrivel::fuzz::ScratchPath() + "methods/";
  fs::create_directory(methods);
  const std::pair<const char*, const char*> files[] = {
      {"shop.csv", "ProjectName;Shop\n1;m0;p\n2;m1;p\n3;m2;p\n4;m3;p\n"},
      {"admin.csv", "ProjectName;Admin\r\n1;a0;q\r\n2;a1;q\r\n"},
      {"alpha.csv", "ProjectName;Alpha\nx\n\ny;z\n"},
      {"unnamed.csv", "ProjectName;\nonly\n"},
  };
  for (const auto& [name, content] : files) {
    ostrivel::fuzz::WriteBytes(methods + name, content);
    ostrivel::coverage::OpenMethodList(methods + name, methodLists);
  }
  Check(methodLists.size() == 4, "the method lists did not load");
}

bool EndsWithLineEnd(const std::string& text) {
  return text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0;
}

// Every file ends with a whole line: no row, trace line or log line is left
// half written, and the result and trace files start with their headers.
void CheckFiles() {
  const std::string& scratch = ostrivel::fuzz::ScratchPath();
  bool found = false;
  std::string log = ostrivel::fuzz::ReadBytes(scratch + "log.txt", &found);
  Check(!found || EndsWithLineEnd(log), "a log line without its line end");

  std::string result =
      ostrivel::fuzz::ReadBytes(scratch + "result.csv", &found);
  if (found) {
    Check(result.starts_with(std::string(ostrivel::formats::kResultHeader) +
                             "\r\n"),
          "a result file without its header");
    Check(EndsWithLineEnd(result), "a result row without its line end");
  }

  const std::string traceHeader =
      std::string(ostrivel::formats::kTraceHeader) + "\r\n";
  for (const fs::directory_entry& entry : fs::directory_iterator(scratch)) {
    std::string name = entry.path().filename().string();
    if (!name.ends_with("_trace.csv")) continue;
    std::string trace =
        ostrivel::fuzz::ReadBytes(entry.path().string(), &found);
    Check(found && trace.starts_with(traceHeader),
          "a trace file without its header");
    Check(EndsWithLineEnd(trace), "a trace line without its line end");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  static const bool ready = (Prepare(), true);
  (void)ready;
  std::string_view input(reinterpret_cast<const char*>(data), size);
  auto take = [&input]() -> std::uint8_t {
    if (input.empty()) return 0;
    auto byte = static_cast<std::uint8_t>(input.front());
    input.remove_prefix(1);
    return byte;
  };

  const std::uint8_t options = take();
  static constexpr ReceiveStatus kEnds[4] = {
      ReceiveStatus::kClosed, ReceiveStatus::kError, ReceiveStatus::kTimeout,
      ReceiveStatus::kClosed};
  static constexpr const char* kTestNames[4] = {"Login", "", "a;b", "T 1"};
  const bool debug = (options & 0x04) != 0;
  const bool twoExchanges = (options & 0x08) != 0;

  feed = Feed();
  feed.end = kEnds[options & 0x03];
  const std::size_t sizeCount = take() & 0x07;
  for (std::size_t i = 0; i < sizeCount; ++i) {
    std::uint8_t chunk = take();
    feed.sizes.push_back(chunk == 0 ? kLargestReceive : chunk);
  }
  feed.bytes = input;

  ostrivel::fuzz::ClearScratch("methods");
  ostrivel::fuzz::ResetLibrary(debug ? 0 : 2);
  auto& state = ostrivel::harness::State();
  state.methodLists = methodLists;
  state.collector.testName = kTestNames[(options >> 4) & 0x03];
  state.collector.serviceSocket = kServiceSocket;
  state.collector.connected = true;

  // As the harness runs one test: "NEWTC" before it, "ASK" after it while
  // the connection stands, and a fresh look at the result file after that.
  int exchanges = 1;
  ostrivel::service::SendRequest(ostrivel::service::BuildRequestBody("NEWTC"));
  if (twoExchanges && state.collector.connected) {
    ++exchanges;
    ostrivel::service::SendRequest(ostrivel::service::BuildRequestBody("ASK"));
    state.collector.resultFileExists = false;
  }

  Check(feed.endsReported <= exchanges,
        "the exchange went on receiving after the connection ended");
  Check(feed.endsReported == 0 || !state.collector.connected,
        "a connection that ended still counts as standing");
  CheckFiles();
  return 0;
}
