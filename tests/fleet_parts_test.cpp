// The fleet's pure parts, in-process: the boxes file, the check's result,
// XML that stays well-formed, the summary and lines, the live table.
#include <gtest/gtest.h>

#include "boxes.h"
#include "fleet.h"
#include "json.h"

namespace {

// Each port its own key, as written.
std::vector<std::vector<std::string>> asWritten(const std::vector<BoxConfig>& boxes)
{
    std::vector<std::vector<std::string>> keys;
    for (const BoxConfig& box : boxes)
        keys.push_back({box.port});
    return keys;
}

TEST(FleetBoxes, ReadsALabFileAndRefusesMalformedLinesWithTheirNumber)
{
    std::vector<BoxConfig> boxes;
    EXPECT_EQ(boxes_parse("# rack 3\n\nbox-1 /dev/ttyUSB0 101\n  box_2\t/dev/ttyUSB1   # default channel\r\n"
                          "b.3 tcp://10.0.0.7:4001 7 # remote\n",
                  "lab.txt", "55", boxes),
        "");
    ASSERT_EQ(boxes.size(), 3u);
    EXPECT_EQ(boxes[0].name + " " + boxes[0].port + " " + boxes[0].channel, "box-1 /dev/ttyUSB0 101");
    EXPECT_EQ(boxes[1].name + " " + boxes[1].port + " " + boxes[1].channel, "box_2 /dev/ttyUSB1 55");
    EXPECT_EQ(boxes[1].line, 4);
    EXPECT_EQ(boxes[2].port, "tcp://10.0.0.7:4001");
    // A comment starts at a field's start; inside a field '#' is the field's.
    std::vector<BoxConfig> hashes;
    EXPECT_EQ(boxes_parse("a /dev/x#1 5#6 #note\n", "lab.txt", "", hashes), "");
    ASSERT_EQ(hashes.size(), 1u);
    EXPECT_EQ(hashes[0].name + " " + hashes[0].port + " " + hashes[0].channel, "a /dev/x#1 5#6");

    struct Case {
        std::string text;
        std::string fault;
    };
    const std::vector<Case> cases{
        {"ok /dev/a 1\nlonely\n", "lab.txt:2: a box is written NAME PORT [CHANNEL], not 'lonely'"},
        {"a /dev/a 1 extra\n", "lab.txt:1: a box is written NAME PORT [CHANNEL], not 'a /dev/a 1 extra'"},
        {"a/b /dev/a 1\n",
            "lab.txt:1: box name 'a/b' is not 1 to 200 letters, digits, '.', '_' and '-' (nor '.' or '..')"},
        {".. /dev/a 1\n",
            "lab.txt:1: box name '..' is not 1 to 200 letters, digits, '.', '_' and '-' (nor '.' or '..')"},
        {"b\x1b[2J /dev/a 1\n",
            "lab.txt:1: box name 'b[1B][2J' is not 1 to 200 letters, digits, '.', '_' and '-' (nor '.' or '..')"},
        // The check's arguments would end at a NUL; no field holds a control byte.
        {std::string("a tcp://h:1 10\0" "01\n", 18), "lab.txt:1: control byte [00] in '10[00]01'"},
        {"a /dev/a\x01" "b 1\n", "lab.txt:1: control byte [01] in '/dev/a[01]b'"},
        {"a /dev/a \x7f\n", "lab.txt:1: control byte [7F] in '[7F]'"},
        {std::string(201, 'n') + " /dev/a 1\n",
            "lab.txt:1: box name '" + std::string(201, 'n') +
                "' is not 1 to 200 letters, digits, '.', '_' and '-' (nor '.' or '..')"},
    };
    for (const Case& c : cases) {
        std::vector<BoxConfig> none;
        EXPECT_EQ(boxes_parse(c.text, "lab.txt", "1", none), c.fault) << c.text;
    }
    std::vector<BoxConfig> none;
    EXPECT_EQ(boxes_parse("a /dev/a\n", "lab.txt", "", none),
        "lab.txt:1: box 'a' has no channel, and no --channel was given");
}

TEST(FleetBoxes, NamesABoxAfterItsPort)
{
    const std::vector<std::pair<std::string, std::string>> cases{
        {"/dev/ttyUSB0", "ttyUSB0"},
        {"/dev/serial/by-id/usb-FTDI_FT232R_A50285BI-if00-port0", "usb-FTDI_FT232R_A50285BI-if00-port0"},
        {"/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0", "pci-0000_00_14.0-usb-0_2_1.0-port0"},
        {"tcp://rack7.lab:4001", "rack7.lab_4001"},
        {"rfc2217://10.1.2.3:2000", "10.1.2.3_2000"},
        {"tcp://[::1]:2000", "__1_2000"},
        {"ttyS1", "ttyS1"},
        {"/dev/pts/3/", "3"},
    };
    for (const auto& [port, name] : cases) {
        EXPECT_EQ(boxName_forPort(port), name) << port;
        EXPECT_TRUE(boxName_valid(boxName_forPort(port))) << port;
    }
    EXPECT_FALSE(boxName_valid(boxName_forPort("/dev/..")));
}

TEST(FleetBoxes, RefusesTwoBoxesOfOneNameOrOnOnePort)
{
    const std::vector<BoxConfig> sameName{{"a", "/dev/x", "1", "lab", 1}, {"a", "/dev/y", "1", "lab", 4}};
    EXPECT_EQ(boxes_checkUnique(sameName, asWritten(sameName)),
        "lab:4: box name 'a' is already taken by the box at lab:1");
    const std::vector<BoxConfig> sameBareName{{"ttyS0", "/dev/ttyS0", "1", "", 0}, {"ttyS0", "/x/ttyS0", "1", "", 0}};
    EXPECT_EQ(boxes_checkUnique(sameBareName, asWritten(sameBareName)),
        "command line: box name 'ttyS0' is already taken by the box at command line (name boxes in a boxes file)");
    // Two names of one device are one port.
    const std::vector<BoxConfig> samePort{
        {"a", "/dev/serial/by-id/x", "1", "lab", 1}, {"b", "/dev/ttyUSB0", "1", "lab", 2}};
    EXPECT_EQ(boxes_checkUnique(samePort, {{"/dev/ttyUSB0"}, {"/dev/ttyUSB0"}}),
        "lab:2: port /dev/ttyUSB0 is also the port of box 'a' (lab:1): two checks on one port would each see "
        "half of what the box sends");
    EXPECT_EQ(boxes_checkUnique(samePort, asWritten(samePort)), "");
}

// One server port however it is named: the scheme in any case, the number
// with leading zeros, the host by name or address, raw or with the com port
// option. Another number or another host is another port.
TEST(FleetBoxes, KnowsOneServerPortByAnyOfItsNames)
{
    struct Case {
        std::string first, second;
        bool same;
    };
    const std::vector<Case> cases{
        {"rfc2217://127.0.0.1:4001", "RFC2217://127.0.0.1:4001", true},
        {"rfc2217://127.0.0.1:4001", "rfc2217://127.0.0.1:04001", true},
        {"rfc2217://127.0.0.1:4001", "rfc2217://localhost:4001", true},
        {"rfc2217://LOCALHOST:4001", "rfc2217://localhost:4001", true},
        {"tcp://127.0.0.1:4001", "rfc2217://127.0.0.1:4001", true},
        {"socket://127.0.0.1:4001", "Tcp://127.0.0.1:4001", true},
        {"tcp://[::1]:4001", "tcp://[0:0::1]:4001", true},
        {"tcp://127.0.0.1:4001", "tcp://127.0.0.1:4002", false},
        {"tcp://127.0.0.1:4001", "tcp://127.0.0.2:4001", false},
        {"tcp://no-such-box.invalid:4001", "tcp://no-such-box.invalid:4001", true},
        {"tcp://no-such-box.invalid:4001", "tcp://other-box.invalid:4001", false},
        {"bogus://127.0.0.1:4001", "bogus://127.0.0.1:4001", true},
        {"/dev/null", "/dev/../dev/null", true},
        {"/dev/null", "tcp://127.0.0.1:4001", false},
    };
    for (const Case& c : cases) {
        const std::vector<BoxConfig> boxes{{"a", c.first, "1", "lab", 1}, {"b", c.second, "1", "lab", 2}};
        const std::string fault = boxes_checkUnique(boxes, boxes_portKeys(boxes, 3'000'000'000));
        EXPECT_EQ(fault.empty(), !c.same) << c.first << " " << c.second << ": " << fault;
    }
}

TEST(FleetOptions, WholeNumbersOnlyInRange)
{
    long n = 0;
    EXPECT_TRUE(parseWholeNumber("86400", 1, 86400, &n));
    EXPECT_EQ(n, 86400);
    for (const char* bad : {"0", "86401", "-1", "+5", " 5", "5 ", "1.5", "", "ten", "99999999999999999999999"})
        EXPECT_FALSE(parseWholeNumber(bad, 1, 86400, &n)) << bad;
}

// getopt_long keeps its state in globals: each case starts afresh, as
// options_parse does.
TEST(FleetOptions, PortsAfterDashDashAndRefusalsInPrintableForm)
{
    struct Case {
        std::vector<std::string> args;
        std::string fault;
        std::vector<std::string> ports;
    };
    const std::vector<Case> cases{
        {{"--channel", "1", "/dev/a", "--", "-odd", "--plain"}, "", {"/dev/a", "-odd", "--plain"}},
        {{"--", "/dev/b"}, "", {"/dev/b"}},
        {{"--bogus"}, "unrecognized option '--bogus'", {}},
        {{"--\x1b[2J=1"}, "unrecognized option '--[1B][2J=1'", {}},
        {{"--re"}, "option '--re' is ambiguous; possibilities: '--reconnect' '--result'", {}},
        {{"--wait=1"}, "option '--wait' doesn't allow an argument", {}},
        {{"--jobs"}, "option '--jobs' requires an argument", {}},
        {{"--plain=yes"}, "option '--plain' doesn't allow an argument", {}},
        {{"--plain", "-x"}, "invalid option -- 'x'", {}},
        {{"-\x01"}, "invalid option -- '[01]'", {}},
        {{"--jobs", "\x1b"}, "--jobs: not a whole number from 1 to 100000: [1B]", {}},
        {{"--timeout", "86401"}, "--timeout: not a whole number of seconds from 1 to 86400: 86401", {}},
        {{"--junit", ""}, "--junit takes a name, not ''", {}},
        {{"--result", ""}, "--result takes a name, not ''", {}},
        {{"--capture-dir", ""}, "--capture-dir takes a name, not ''", {}},
        {{"--boxes", ""}, "--boxes takes a name, not ''", {}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> words{"quarvo-fleet"};
        words.insert(words.end(), c.args.begin(), c.args.end());
        std::vector<char*> argv;
        for (std::string& w : words)
            argv.push_back(w.data());
        argv.push_back(nullptr);
        FleetOptions options;
        EXPECT_EQ(options_parse(static_cast<int>(words.size()), argv.data(), &options), c.fault) << c.fault;
        EXPECT_EQ(options.ports, c.ports) << c.fault;
    }
}

TEST(FleetResult, ReadsWhatTheCheckWrote)
{
    const std::optional<CheckReport> r = checkResult_parse(
        R"({"outcome":"box-error","status":1,"channel":"101","port":"/dev/pts/3","current_channel":"\u001b\ufffd\ud83d\ude00","failures":["Current channel '[1B]' [incorrect]","Channel error: X\"\\"],"requested_channel":null,"packets":1,"bad_input_reports":0,"bytes":64,"elapsed_ms":1234})"
        "\n");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->outcome, "box-error");
    EXPECT_EQ(r->status, 1);
    EXPECT_EQ(r->currentChannel, std::string("\x1b\xEF\xBF\xBD\xF0\x9F\x98\x80"));
    EXPECT_EQ(r->failures, (std::vector<std::string>{"Current channel '[1B]' [incorrect]", "Channel error: X\"\\"}));
    EXPECT_EQ(r->elapsedMs, 1234);
    const std::optional<CheckReport> none =
        checkResult_parse(R"({"outcome":"no-answer","current_channel":null,"x":[1,2.5e3,true]})");
    ASSERT_TRUE(none);
    EXPECT_FALSE(none->currentChannel);

    // The exact bytes in printable form, where the check writes them, are
    // what the fleet shows; without them the UTF-8 value in printable form.
    const BoxConfig box{"b", "/dev/pts/1", "101", "", 0};
    const std::optional<CheckReport> exact = checkResult_parse(
        R"({"outcome":"incorrect","current_channel":"x\ufffd","current_channel_printable":"x[FF] y"})");
    ASSERT_TRUE(exact);
    EXPECT_EQ(plainLine(box, boxEnd_fromResult(box, *exact, "{}", "")), "b incorrect x[FF][20]y 0");
    const std::optional<CheckReport> older = checkResult_parse(R"({"outcome":"incorrect","current_channel":"x\ufffd"})");
    ASSERT_TRUE(older);
    EXPECT_EQ(plainLine(box, boxEnd_fromResult(box, *older, "{}", "")), "b incorrect x[EF][BF][BD] 0");

    // Cut short, or not the check's: nothing is believed.
    for (const char* bad : {"", "{", R"({"outcome":"correct")", R"({"status":0})", R"({"outcome":"correct"} x)",
             R"({"outcome":"c\ud800"})", R"({"outcome":"correct","x":{"y":1}})", R"({"outcome":1})",
             R"({"outcome":"correct","elapsed_ms":1.})", "[\"outcome\"]"})
        EXPECT_FALSE(checkResult_parse(bad)) << bad;
}

TEST(FleetXml, EscapesMarkupAndLeavesOutWhatXmlCannotHold)
{
    struct Case {
        std::string bytes;
        std::string text;
        std::string attribute;
    };
    const std::vector<Case> cases{
        {"a<b>&\"c'", "a&lt;b&gt;&amp;\"c'", "a&lt;b&gt;&amp;&quot;c&apos;"},
        {"]]>", "]]&gt;", "]]&gt;"},
        {"t\tl\nr\r", "t\tl\nr&#13;", "t&#9;l&#10;r&#13;"},
        {std::string("\x00\x01\x1b\x7f"
                     "ok",
             6),
            "ok", "ok"},
        {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80",
            "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"},
        // Not UTF-8: a lone continuation, a cut sequence, an overlong form, a surrogate, past U+10FFFF.
        {"a\x80"
         "b\xE2\x82"
         "c\xC0\xAF"
         "d\xED\xA0\x80"
         "e\xF4\x90\x80\x80"
         "f",
            "abcdef", "abcdef"},
        // Characters XML 1.0 leaves out although they are valid UTF-8.
        {"x\xEF\xBF\xBE\xEF\xBF\xBFy\xEF\xBF\xBD", "xy\xEF\xBF\xBD", "xy\xEF\xBF\xBD"},
    };
    for (const Case& c : cases) {
        std::string text, attribute;
        xml_appendEscaped(text, c.bytes);
        xml_appendEscaped(attribute, c.bytes, true);
        EXPECT_EQ(text, c.text) << c.bytes;
        EXPECT_EQ(attribute, c.attribute) << c.bytes;
    }
}

TEST(FleetReport, VerdictsSummaryAndLines)
{
    struct Case {
        std::vector<std::string> outcomes;
        std::string summary;
        int status;
    };
    const std::vector<Case> cases{
        {{"correct", "correct"}, "2/2 done: 2 correct, 0 incorrect, 0 no answer, 7 s", 0},
        {{"correct", "incorrect", "no-answer"}, "3/3 done: 1 correct, 1 incorrect, 1 no answer, 7 s", 1},
        {{"box-error", "port-failed"}, "2/2 done: 0 correct, 1 incorrect, 1 no answer, 7 s", 1},
        {{"correct", "port-lost", "start-failed", "no-result"}, "4/4 done: 1 correct, 0 incorrect, 3 no answer, 7 s",
            2},
        {{"interrupted", "skipped"}, "2/2 done: 0 correct, 0 incorrect, 1 no answer, 1 skipped, 7 s", 2},
    };
    for (const Case& c : cases) {
        Tally tally;
        tally.boxes = static_cast<int>(c.outcomes.size());
        for (const std::string& outcome : c.outcomes)
            tally.add(verdictOf(outcome));
        EXPECT_EQ(summaryLine(tally, 7), c.summary);
        EXPECT_EQ(fleetStatus(tally), c.status) << c.summary;
    }
    Tally partial;
    partial.boxes = 48;
    partial.add(BoxVerdict::Correct);
    EXPECT_EQ(summaryLine(partial, 32), "1/48 done: 1 correct, 0 incorrect, 0 no answer, 32 s");

    EXPECT_EQ(channelField(std::nullopt), "-");
    EXPECT_EQ(channelField(std::string()), "\"\"");
    EXPECT_EQ(channelField(std::string("1 0\x1b")), "1[20]0[1B]");

    const BoxConfig box{"b1", "/dev/pts/9", "101", "", 0};
    CheckReport report;
    report.outcome = "incorrect";
    report.currentChannel = "102";
    report.failures = {"Current channel '102' [incorrect]"};
    report.elapsedMs = 250;
    const BoxEnd end = boxEnd_fromResult(box, report, "{\"outcome\":\"incorrect\",\"elapsed_ms\":250}\n", "x\n");
    EXPECT_EQ(plainLine(box, end), "b1 incorrect 102 250");
    EXPECT_EQ(end.message, "incorrect: Current channel '102' [incorrect]");
    EXPECT_EQ(end.resultJson, "{\"name\":\"b1\",\"outcome\":\"incorrect\",\"elapsed_ms\":250}");

    const BoxEnd failed =
        boxEnd_synthesized(box, "start-failed", 127, 3, {}, "quarvo-fleet: starting x failed: Exec format error\n");
    EXPECT_EQ(failed.verdict, BoxVerdict::NoAnswer);
    EXPECT_EQ(failed.message, "start-failed: quarvo-fleet: starting x failed: Exec format error");
    EXPECT_NE(failed.resultJson.find(
                  "\"outcome\":\"start-failed\",\"status\":127,\"channel\":\"101\",\"port\":\"/dev/pts/9\""),
        std::string::npos);
    EXPECT_NE(failed.resultJson.find(",\"channels_seen\":[],"), std::string::npos) << "as a check's own result";

    EXPECT_EQ(lastLines("a\nb\x1b\n\n\nc\n", 2), (std::vector<std::string>{"b[1B]", "c"}));
    EXPECT_EQ(lastLines("", 2), std::vector<std::string>{});
}

TEST(FleetView, FitsTheWindowWithPendingBoxesFirst)
{
    std::vector<ViewRow> rows;
    for (int i = 0; i < 10; ++i)
        rows.push_back({"box" + std::to_string(i), "/dev/pts/" + std::to_string(i),
            i % 3 == 0 ? "waiting 3 s" : "correct", i % 3 == 0 ? "" : "101", i % 3 == 0});
    rows[4] = {"box4", "/dev/pts/4", "incorrect", "102", true};

    // Room for all: every box in its order, the summary last.
    std::vector<std::string> lines = liveView_lines(rows, "6/10 done", 40, 80);
    ASSERT_EQ(lines.size(), 12u);
    EXPECT_EQ(lines[0], "NAME  PORT        STATE           CHANNEL");
    EXPECT_EQ(lines[1], "box0  /dev/pts/0  waiting 3 s");
    EXPECT_EQ(lines[2], "box1  /dev/pts/1  correct         101");
    EXPECT_EQ(lines.back(), "6/10 done");

    // Eight rows: seven lines, the pending boxes first, the rest counted.
    lines = liveView_lines(rows, "6/10 done", 8, 80);
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines[1].substr(0, 4), "box0");
    EXPECT_EQ(lines[2].substr(0, 4), "box3");
    EXPECT_EQ(lines[3].substr(0, 4), "box4");
    EXPECT_EQ(lines[4].substr(0, 4), "box6");
    EXPECT_EQ(lines[5], "... 6 more");

    // Narrow: no line reaches the last column.
    for (const std::string& line : liveView_lines(rows, std::string(100, 's'), 8, 20))
        EXPECT_LE(line.size(), 19u) << line;
    EXPECT_EQ(liveView_lines(rows, "s", 2, 80), std::vector<std::string>{"s"});
    EXPECT_TRUE(liveView_lines(rows, "s", 1, 80).empty());

    // The last drawing keeps the whole summary, seconds and all.
    const std::string summary = "10/10 done: 4 correct, 1 incorrect, 5 no answer, 32 s";
    EXPECT_EQ(liveView_lines(rows, summary, 8, 20, true).back(), summary);
    EXPECT_EQ(liveView_lines(rows, summary, 1, 20, true), std::vector<std::string>{summary});

    EXPECT_EQ(liveView_redraw({"a", "b"}, 0), "\x1b[Ja\nb\n");
    EXPECT_EQ(liveView_redraw({"a"}, 2), "\r\x1b[2A\x1b[Ja\n");
}

// A check's output costs the fleet its last bytes only, from a line's start.
TEST(FleetOutputTail, KeepsTheLastBytesFromALinesStart)
{
    struct Case {
        std::vector<std::string> pieces;
        std::string text;
    };
    const std::vector<Case> cases{
        {{}, ""},
        {{"ab\n", "cd\n"}, "ab\ncd\n"},
        {{"0123456789"}, "0123456789"},
        {{"one\ntwo\n", "three\n"}, "two\nthree\n"}, // wraps inside a piece
        {{"x\n", std::string(30, 'y') + "\nend\n"}, "end\n"}, // a piece longer than the tail
        {{"abcdefgh", "ijklmnop"}, "efghijklmnop"},      // no line feed: the bytes as kept
    };
    for (const Case& c : cases) {
        OutputTail tail(12);
        uint64_t total = 0;
        for (const std::string& piece : c.pieces) {
            tail.append(piece);
            total += piece.size();
        }
        EXPECT_EQ(tail.text(), c.text);
        EXPECT_EQ(tail.total(), total);
    }
    // Byte by byte, round and round.
    OutputTail tail(5);
    for (const char c : std::string("abc\ndefghij\nkl"))
        tail.append(std::string_view(&c, 1));
    EXPECT_EQ(tail.text(), "kl");
}

} // namespace
