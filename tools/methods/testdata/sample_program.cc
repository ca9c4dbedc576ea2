// A program under test for the method-list tests, built with
// -finstrument-functions and linked with the probe. Each argument "Name=K"
// makes K calls of the function Name.

#include <cstdlib>
#include <string>

#define SAMPLE_NOINLINE __attribute__((noinline))

volatile int gSink;

namespace sample {

SAMPLE_NOINLINE int Alpha(int x) { return x + 1; }
SAMPLE_NOINLINE int Beta(int x) { return x * 2; }
SAMPLE_NOINLINE int NeverCalled(int x) { return x - 1; }

class Counter {
 public:
  SAMPLE_NOINLINE explicit Counter(int start) : value_(start) {}
  SAMPLE_NOINLINE int Next() { return ++value_; }

 private:
  int value_;
};

template <typename T>
SAMPLE_NOINLINE T Twice(T value) {
  return value + value;
}

namespace {
SAMPLE_NOINLINE int Hidden(int x) { return x ^ 1; }
}  // namespace

}  // namespace sample

extern "C" SAMPLE_NOINLINE int plain_c(int x) { return x + 3; }

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    // std::string's members are instrumented too; the method list leaves
    // them out and the probe ignores them.
    std::string argument = argv[i];
    std::size_t equals = argument.find('=');
    std::string name = argument.substr(0, equals);
    int times = std::atoi(argument.c_str() + equals + 1);
    for (int k = 0; k < times; ++k) {
      if (name == "Alpha") {
        gSink = sample::Alpha(k);
      } else if (name == "Beta") {
        gSink = sample::Beta(k);
      } else if (name == "Counter") {
        sample::Counter counter(k);
        gSink = counter.Next();
      } else if (name == "Twice") {
        gSink = sample::Twice<int>(k);
      } else if (name == "Hidden") {
        gSink = sample::Hidden(k);
      } else if (name == "plain_c") {
        gSink = plain_c(k);
      }
    }
  }
  return 0;
}
