// What a fleet reads of its checks and says about its boxes: one line per
// box, the live table, the summary, the JUnit XML that CI reads and the JSON
// result.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "boxes.h"

// The result file a check leaves: one JSON object.
struct CheckReport {
    std::string outcome;
    std::optional<int> status;
    std::optional<std::string> currentChannel; // as the box sent it (UTF-8)
    // The same in printable form, exact whatever the bytes; from a check
    // that writes it.
    std::optional<std::string> currentChannelPrintable;
    std::vector<std::string> failures;         // the failure lines printed
    int64_t elapsedMs = 0;
};

// The members the fleet reads from `json`, or nothing when it is not a
// JSON object with a string "outcome" (a result cut short, say). Members
// it does not know are skipped.
std::optional<CheckReport> checkResult_parse(std::string_view json);

// A box's outcome, as the fleet's exit status and JUnit see it.
enum class BoxVerdict {
    Correct,           // passed
    AnsweredOtherwise, // a wrong channel or an error record: a JUnit failure
    NoAnswer,          // nothing decided, for whatever reason: a JUnit error
    Skipped,           // never started
};

// "correct"; "incorrect" and "box-error"; "skipped"; every other word.
BoxVerdict verdictOf(std::string_view outcome);

// What the fleet knows of a box once it is done.
struct BoxEnd {
    std::string outcome; // the check's outcome word, or the fleet's own: skipped, start-failed, no-result
    BoxVerdict verdict = BoxVerdict::NoAnswer;
    std::optional<std::string> channelSeen; // in printable form
    int64_t elapsedMs = 0;
    std::string message;    // one printable line: the outcome and what the box reported
    std::string resultJson; // the box's object for --result, its name first
};

// A box whose check left a result.
BoxEnd boxEnd_fromResult(
    const BoxConfig& box, const CheckReport& report, std::string_view resultText, std::string_view output);
// A box without one: `outcome` is the fleet's word, `status` the check's
// exit status if it ran, `detail` what the fleet knows.
BoxEnd boxEnd_synthesized(const BoxConfig& box, std::string_view outcome, std::optional<int> status, int64_t elapsedMs,
    std::string_view detail, std::string_view output);

struct Tally {
    int boxes = 0;
    int correct = 0;
    int answeredOtherwise = 0;
    int noAnswer = 0;
    int skipped = 0;
    int done() const { return correct + answeredOtherwise + noAnswer + skipped; }
    void add(BoxVerdict verdict);
};

// 0 every box correct; 1 some box answered otherwise; 2 none did, but some
// gave no answer (or was never started).
int fleetStatus(const Tally& tally);

// "12/48 done: 10 correct, 1 incorrect, 1 no answer, 32 s", ", N skipped"
// added when some were.
std::string summaryLine(const Tally& tally, int64_t seconds);

// "NAME OUTCOME CHANNEL-SEEN ELAPSED_MS": the channel in printable form with
// blanks as [20], "-" when none was seen, "" when an empty one was.
std::string plainLine(const BoxConfig& box, const BoxEnd& end);
std::string channelField(const std::optional<std::string>& channel);

// The last `count` non-empty lines of `output`, in printable form.
std::vector<std::string> lastLines(std::string_view output, size_t count);

// JUnit XML as GitLab and Jenkins read it, in three pieces so that each
// box's output is read only while its test case is written.
std::string junit_head(std::string_view suite, const Tally& tally, double seconds, std::string_view timestamp);
std::string junit_testCase(std::string_view suite, const BoxConfig& box, const BoxEnd& end, std::string_view output);
inline constexpr std::string_view JUNIT_TAIL = "  </testsuite>\n</testsuites>\n";

// The fleet's JSON result: the summary, then "boxes" with each box's object.
std::string result_head(
    std::string_view suite, const Tally& tally, int status, int64_t elapsedMs, std::optional<int> endedBySignal);
std::string result_box(const BoxEnd& end, bool first);
inline constexpr std::string_view RESULT_TAIL = "\n]}\n";

// The table a fleet shows on a terminal while its boxes are checked.
struct ViewRow {
    std::string name;
    std::string port;    // printable
    std::string state;   // "queued", "waiting 12 s" or the outcome word
    std::string channel; // the channel reported, printable, or empty
    bool pending = true; // still to decide, or decided otherwise than correct
};

// The lines to show in a window of `height` rows and `width` columns: a
// heading, the boxes, and the summary last. No line is wider than the
// window, nor are there more lines than rows less one (so that drawing
// never scrolls). When the rack is taller, the pending boxes come first and
// a line says how many are not shown. The `final` drawing has the summary
// whole however narrow the window (it may wrap: nothing is drawn over it).
std::vector<std::string> liveView_lines(
    const std::vector<ViewRow>& rows, const std::string& summary, int height, int width, bool final = false);

// Replaces the `previous` lines drawn last (the cursor just below them)
// with `lines`.
std::string liveView_redraw(const std::vector<std::string>& lines, size_t previous);
