// Inputs built to make one text scan revisit the text for every piece of it. The tests count
// the work they cost at two sizes (WorkRatioOfDoubling); bench_analysis_scaling times them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vexmor::testing {

// Which analysis step a body is aimed at.
enum class AnalysisStep { kLinkDomain, kNormalise, kRecipients, kCharset };

struct HostileBody {
  const char* name;
  AnalysisStep step;
  std::string unit;    // repeated n times
  std::string before;  // put in front of the repetitions
  std::string after;   // put after them
};

inline std::string Repeat(std::string_view unit, size_t times) {
  std::string out;
  out.reserve(unit.size() * times);
  for (size_t i = 0; i < times; ++i) out += unit;
  return out;
}

inline std::string Build(const HostileBody& body, size_t n) {
  return body.before + Repeat(body.unit, n) + body.after;
}

inline const std::vector<HostileBody>& HostileAnalysisBodies() {
  static const std::vector<HostileBody> bodies = {
      {"standards links, no closing anchor", AnalysisStep::kLinkDomain,
       "<a href=\"http://www.w3.org/\">x ", "", ""},
      {"standards links before a long anchor", AnalysisStep::kLinkDomain, "http://w3.org/ ", "",
       " HREF " + std::string(200000, 'y')},
      {"standards links in a cloaking anchor", AnalysisStep::kLinkDomain, "http://www.w3.org/=2E ",
       "http://w3.org/ <a href=x ", "</a>"},
      {"markers", AnalysisStep::kNormalise, "=20=3D&nbsp;", "", ""},
      {"recipients", AnalysisStep::kRecipients, "<<a", "To: ", ":"},
      {"charset", AnalysisStep::kCharset, "charset", "", ""},
  };
  return bodies;
}

// Shapes of markup that made the HTML parser's error bookkeeping or a recursive walk blow up.
struct HostileMarkup {
  const char* name;
  std::string unit;
};

inline const std::vector<HostileMarkup>& HostileMarkupShapes() {
  static const std::vector<HostileMarkup> shapes = {
      {"unclosed formatting", "<b><i><u><font>"}, {"deep nesting", "<x>"},
      {"unclosed tables", "<table><tr><td>"},     {"misnested formatting", "<a><b></a><p>"},
      {"unclosed divs with text", "<div>t"},      {"self-closed divs", "<div/>t"},
  };
  return shapes;
}

}  // namespace vexmor::testing
