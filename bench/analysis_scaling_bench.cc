// Times the hostile bodies and markup shapes whose work the tests count, at n and 2n, and
// prints the ratio of the best of several runs (a linear step gives about 2, a quadratic one
// about 4). Cache sizes move the figure at some sizes, so it is printed for three, not asserted.
#include <time.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "vexmor/hook/mail_analysis.h"
#include "vexmor/platform/html_text.h"
#include "vexmor/testing/hostile_bodies.h"

namespace {

double ThreadCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

double BestOf(const std::function<void(size_t)>& run, size_t n) {
  double best = 0;
  for (int i = 0; i < 5; ++i) {
    const double start = ThreadCpuSeconds();
    run(n);
    const double spent = ThreadCpuSeconds() - start;
    if (i == 0 || spent < best) best = spent;
  }
  return best;
}

void Report(const char* name, const std::function<void(size_t)>& run, size_t base) {
  std::printf("%-40s", name);
  for (size_t n : {base / 2, base, base * 2}) {
    run(n);  // warm the allocator
    const double small = BestOf(run, n);
    const double large = BestOf(run, 2 * n);
    std::printf("  n=%-7zu %5.2f", n, large / (small > 1e-9 ? small : 1e-9));
  }
  std::printf("\n");
}

}  // namespace

int main() {
  using vexmor::testing::AnalysisStep;
  vexmor::hook::HtmlRenderContext plain;
  std::printf("CPU time of 2n over n (linear about 2, quadratic about 4)\n");
  for (const auto& family : vexmor::testing::HostileAnalysisBodies()) {
    Report(
        family.name,
        [&](size_t n) {
          const std::string body = vexmor::testing::Build(family, n);
          switch (family.step) {
            case AnalysisStep::kLinkDomain:
              (void)vexmor::hook::ExtractLinkDomain(body);
              break;
            case AnalysisStep::kNormalise:
              (void)vexmor::hook::NormaliseContent(plain, 0, "", body);
              break;
            case AnalysisStep::kRecipients:
              (void)vexmor::hook::ExtractRecipients(body);
              break;
            case AnalysisStep::kCharset:
              (void)vexmor::hook::FindCharsetDeclaration(body, body, body);
              break;
          }
        },
        80000);
  }
  std::unique_ptr<vexmor::platform::HtmlText> html = vexmor::platform::MakeGumboHtmlText();
  for (const auto& shape : vexmor::testing::HostileMarkupShapes()) {
    Report(
        shape.name,
        [&](size_t n) { (void)html->VisibleText(vexmor::testing::Repeat(shape.unit, n)); }, 8000);
  }
  return 0;
}
