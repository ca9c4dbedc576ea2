// libostrivel-entry-counters.so: a pass plugin for clang 14 that keeps only
// the entry counter of each function's front-end profile counters.
//
//   clang-14 -fprofile-instr-generate
//   -fpass-plugin=libostrivel-entry-counters.so
//
// Clang's front end gives every function a set of counters, the first one
// counting its entries and the others its branches and loops, and emits an
// increment intrinsic for each before any optimisation. The clang route
// reads only the entry counts, so the plugin deletes the other increments
// at the start of the optimisation pipeline, before the intrinsics are
// lowered and before anything is inlined: an inlined function keeps its
// entry increment in each copy of its body and is counted as before. The
// counters and the records stay as they were, so the raw profile keeps its
// layout and llvm-profdata reads it; the branch counts are just 0.
//
// Built against LLVM 14's headers and loaded into clang 14 only; it has no
// options.

#include <vector>

#include "llvm/IR/IntrinsicInst.h"
#include "llvm/IR/Module.h"
#include "llvm/IR/PassManager.h"
#include "llvm/Passes/PassBuilder.h"
#include "llvm/Passes/PassPlugin.h"

namespace {

class KeepEntryCounters : public llvm::PassInfoMixin<KeepEntryCounters> {
 public:
  llvm::PreservedAnalyses run(llvm::Module& module,
                              llvm::ModuleAnalysisManager& /*analyses*/) {
    std::vector<llvm::InstrProfIncrementInst*> others;
    for (llvm::Function& function : module) {
      for (llvm::BasicBlock& block : function) {
        for (llvm::Instruction& instruction : block) {
          auto* increment =
              llvm::dyn_cast<llvm::InstrProfIncrementInst>(&instruction);
          if (increment != nullptr && !increment->getIndex()->isZero()) {
            others.push_back(increment);
          }
        }
      }
    }
    for (llvm::InstrProfIncrementInst* increment : others) {
      increment->eraseFromParent();
    }
    return others.empty() ? llvm::PreservedAnalyses::all()
                          : llvm::PreservedAnalyses::none();
  }
};

}  // namespace

// The one symbol clang looks for; everything else stays hidden.
extern "C" __attribute__((visibility("default")))
LLVM_ATTRIBUTE_WEAK llvm::PassPluginLibraryInfo
llvmGetPassPluginInfo() {
  return {LLVM_PLUGIN_API_VERSION, "ostrivel-entry-counters", "1",
          [](llvm::PassBuilder& builder) {
            // Registered before clang registers the lowering of the
            // intrinsics at the same point, so it runs first.
            builder.registerPipelineStartEPCallback(
                [](llvm::ModulePassManager& passes,
                   llvm::OptimizationLevel /*level*/) {
                  passes.addPass(KeepEntryCounters());
                });
          }};
}
