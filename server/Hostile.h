// SPDX-License-Identifier: GPL-3.0-or-later
// Answers built to hurt a client: pages and documents shaped to exhaust its
// stack or its memory, and text meant for its terminal. The stand-in serves
// them on request (FaultKind), so tests and benchmarks can show that a run
// survives each with a clear failure and within its memory budget.
#pragma once

#include <memory>
#include <string>

namespace kestrane::pubserver::hostile {

// Pages are built once per shape and size, and shared.
// A one-page PDF whose page starts a chain of `links` indirect objects
// (/X 6 0 R, each object [next 0 R]).
std::shared_ptr<const std::string> DeepChainPdf(int links);
// A one-page PDF whose page reaches `count` small objects.
std::shared_ptr<const std::string> ManyObjectsPdf(int count);
// A small one-page PDF whose page resources sit in a Flate object stream that
// inflates to `inflated` bytes.
std::shared_ptr<const std::string> ObjectStreamBombPdf(unsigned long long inflated);

// An OPS token answer with the access token behind `depth` nested arrays.
std::string DeepTokenJson(int depth);
// An OPS images inquiry whose FullDocument stands inside `depth` nested elements.
std::string DeepInquiryXml(int depth, const std::string& link);
// An OPS images inquiry padded with empty elements to about `bytes` bytes.
std::string BulkyInquiryXml(std::size_t bytes, const std::string& link);
// An OPS images inquiry whose FullDocument claims number-of-pages="1e9".
std::string ExponentInquiryXml(const std::string& link);

// One X-Throttling-Control value naming `services` services never seen
// before (their names start at `first`).
std::string ThrottleFlood(unsigned long long first, int services);

// Terminal control sequences that retitle and clear a terminal and print a
// line that looks like a record, as XML character references.
inline constexpr const char* kTerminalXml = "&#27;]0;owned&#7;&#27;[2J&#13;&#10;DE1 Success";
// For a header, which carries no control bytes: the 8-bit control sequence
// introducer, which some terminals take as ESC [.
inline constexpr const char* kTerminalHeader =
    "IndividualQuotaPerHour\x9B"
    "2J\x9B"
    "1;1H";

}  // namespace kestrane::pubserver::hostile
