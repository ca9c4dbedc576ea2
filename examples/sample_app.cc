// sample-app: the command line of the sample shop, the program under test
// in the examples. Built with -finstrument-functions and linked with
// libostrivel-probe, so every call of its functions is counted.
//
//   sample-app help
//   sample-app list [CATEGORY]
//   sample-app price CODE QUANTITY
//   sample-app stock CODE | sample-app low-stock THRESHOLD
//   sample-app checkout [--coupon C] [--region R] CODE:QUANTITY...
//
// Exit code 0 on success, 1 when a checkout is refused, 2 on a usage error
// or an unknown item.

#include <charconv>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "examples/shop/cart.h"
#include "examples/shop/catalog.h"
#include "examples/shop/checkout.h"
#include "examples/shop/inventory.h"
#include "examples/shop/pricing.h"
#include "examples/shop/receipt.h"

namespace {

constexpr int kUsageError = 2;

int PrintUsage(std::ostream& out) {
  out << "Usage: sample-app help\n"
         "       sample-app list [CATEGORY]\n"
         "       sample-app price CODE QUANTITY\n"
         "       sample-app stock CODE\n"
         "       sample-app low-stock THRESHOLD\n"
         "       sample-app checkout [--coupon C] [--region R] "
         "CODE:QUANTITY...\n";
  return kUsageError;
}

// A positive whole number, or 0.
int ParseQuantity(std::string_view text) {
  int value = 0;
  auto [end, error] =
      std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value <= 0) {
    return 0;
  }
  return value;
}

const shop::Item* ItemOrComplain(std::string_view code) {
  const shop::Item* item = shop::FindItem(code);
  if (item == nullptr) std::cerr << "unknown item " << code << "\n";
  return item;
}

int RunList(const std::vector<std::string>& args) {
  if (args.empty()) {
    for (const std::string& category : shop::Categories()) {
      std::cout << category << ":\n";
      for (const shop::Item* item : shop::ItemsInCategory(category)) {
        std::cout << "  " << shop::FormatItem(*item) << "\n";
      }
    }
    return 0;
  }
  if (!shop::IsKnownCategory(args[0])) {
    std::cerr << "unknown category " << args[0] << "\n";
    return kUsageError;
  }
  for (const shop::Item* item : shop::ItemsInCategory(args[0])) {
    std::cout << shop::FormatItem(*item) << "\n";
  }
  return 0;
}

int RunPrice(const std::vector<std::string>& args) {
  if (args.size() != 2) return PrintUsage(std::cerr);
  const shop::Item* item = ItemOrComplain(args[0]);
  int quantity = ParseQuantity(args[1]);
  if (item == nullptr || quantity == 0) return kUsageError;
  std::cout << shop::FormatCents(shop::LineTotal(*item, quantity)) << "\n";
  return 0;
}

int RunStock(const std::vector<std::string>& args) {
  if (args.size() != 1) return PrintUsage(std::cerr);
  const shop::Item* item = ItemOrComplain(args[0]);
  if (item == nullptr) return kUsageError;
  std::cout << shop::Stock(item->code) << "\n";
  return 0;
}

int RunLowStock(const std::vector<std::string>& args) {
  if (args.size() != 1) return PrintUsage(std::cerr);
  int threshold = ParseQuantity(args[0]);
  if (threshold == 0) return PrintUsage(std::cerr);
  for (const std::string& code : shop::LowStock(threshold)) {
    std::cout << code << "\n";
  }
  return 0;
}

int RunCheckout(const std::vector<std::string>& args) {
  std::string coupon;
  std::string region;
  shop::Cart cart;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if ((args[i] == "--coupon" || args[i] == "--region") &&
        i + 1 < args.size()) {
      (args[i] == "--coupon" ? coupon : region) = args[i + 1];
      ++i;
      continue;
    }
    std::size_t colon = args[i].find(':');
    if (colon == std::string::npos) return PrintUsage(std::cerr);
    const shop::Item* item = ItemOrComplain(args[i].substr(0, colon));
    int quantity = ParseQuantity(std::string_view(args[i]).substr(colon + 1));
    if (item == nullptr || quantity == 0) return kUsageError;
    cart.Add(*item, quantity);
  }
  std::string problem = shop::CheckCart(cart, coupon);
  if (!problem.empty()) {
    std::cerr << "checkout refused: " << problem << "\n";
    return 1;
  }
  shop::Totals totals = shop::ComputeTotals(cart, coupon, region);
  std::cout << shop::FormatReceipt(cart, totals);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return PrintUsage(std::cerr);
  std::string command = argv[1];
  std::vector<std::string> args(argv + 2, argv + argc);
  if (command == "help") {
    PrintUsage(std::cout);
    return 0;
  }
  if (command == "list") return RunList(args);
  if (command == "price") return RunPrice(args);
  if (command == "stock") return RunStock(args);
  if (command == "low-stock") return RunLowStock(args);
  if (command == "checkout") return RunCheckout(args);
  std::cerr << "unknown command " << command << "\n";
  return PrintUsage(std::cerr);
}
