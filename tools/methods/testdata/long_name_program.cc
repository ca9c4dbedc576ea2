// A program with one function whose demangled name is about 73,000
// characters long, the way heavy template code reaches such names: each
// level of Pair doubles the demangled text, while the mangled symbol stays
// short through its back-references.

volatile int gSink;

namespace cart {

template <typename First, typename Second>
struct Pair {};

using Level0 = Pair<int, long>;
using Level1 = Pair<Level0, Level0>;
using Level2 = Pair<Level1, Level1>;
using Level3 = Pair<Level2, Level2>;
using Level4 = Pair<Level3, Level3>;
using Level5 = Pair<Level4, Level4>;
using Level6 = Pair<Level5, Level5>;
using Level7 = Pair<Level6, Level6>;
using Level8 = Pair<Level7, Level7>;
using Level9 = Pair<Level8, Level8>;
using Level10 = Pair<Level9, Level9>;

template <typename T>
struct Cart {
  __attribute__((noinline)) static int Add(T, int x) { return x + 1; }
};

__attribute__((noinline)) int Short(int x) { return x - 1; }

}  // namespace cart

int main(int argc, char**) {
  // Called through a pointer, so that the compiler keeps the function under
  // its own name instead of a specialised clone.
  int (*volatile add)(cart::Level10, int) = &cart::Cart<cart::Level10>::Add;
  gSink = add({}, argc) + cart::Short(argc);
  return 0;
}
