// The table a fleet shows on a terminal while its boxes are checked.
#pragma once

#include <string>
#include <vector>

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
// a line says how many are not shown.
std::vector<std::string> liveView_lines(
    const std::vector<ViewRow>& rows, const std::string& summary, int height, int width);

// Replaces the `previous` lines drawn last (the cursor just below them)
// with `lines`.
std::string liveView_redraw(const std::vector<std::string>& lines, size_t previous);

// The last drawing: the same, but with the summary whole however narrow the
// window (it may wrap: nothing is drawn over it afterwards).
std::vector<std::string> liveView_finalLines(
    const std::vector<ViewRow>& rows, const std::string& summary, int height, int width);
