// "verdicts.jsonl" in the install directory: one JSON object per line for every message the
// rule chain judged, so that a person can check a decision afterwards ("vexmor why"). Bounded
// as the activity log is (set aside as "verdicts.jsonl.1" past the size limit).
//
// {"time":"2026-12-07T11:52:02Z","folder":4,"message":12,"folder_name":"Inbox",
//  "message_id":"<a@b>","subject":"...","sender":"x@y","verdict":"spam","rule":"link-signature",
//  "rule_text":"its link domain was reported as spam by others",
//  "signatures":[{"kind":"link","text":"bargain-pills.biz","signature":-123,"spam":true}]}
//
// Texts are UTF-8 (the message's Windows-1252 bytes converted), JSON-escaped, and each held to
// log::kVerdictTextLimit bytes; "signature" is left out when it is not known; "folder_name" is
// empty when the store could not name the folder.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "vexmor/hook/filter_chain.h"
#include "vexmor/platform/clock.h"

namespace vexmor::hook {

inline constexpr std::string_view kVerdictLogFile = "verdicts.jsonl";

// The unfolded value of the header's first field "name" (case-insensitive), trimmed; empty
// when there is none.
std::string HeaderFieldValue(std::string_view header, std::string_view name);

// The JSON line (with its line end) for one verdict.
std::string VerdictLine(std::chrono::system_clock::time_point when, int32_t folder, int32_t message,
                        std::string_view folder_name, std::string_view header,
                        std::string_view subject, bool spam, const VerdictTrace& trace);

// Appends the line to the install directory's verdict log; failures are swallowed.
void WriteVerdict(const std::string& install_dir, const platform::Clock& clock, int32_t folder,
                  int32_t message, std::string_view folder_name, std::string_view header,
                  std::string_view subject, bool spam, const VerdictTrace& trace);

}  // namespace vexmor::hook
