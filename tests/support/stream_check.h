// Reads a stream file the encoder wrote with the viewer's decoder, the one
// reader of the stream rules, printing nothing. Tests that include this link
// vendrel_view.
#pragma once

#include <string>

#include "tools/view/stream_decoder.h"

namespace testsupport {

// The rule violations in the stream at path read with the given buffering
// mode (1 single, 2 double), or -1 when it cannot be read at all.
inline int streamViolations(const std::string& path, int pages) {
    view::DecodeOptions options;
    options.pages = pages;
    options.quiet = true;
    view::Summary summary;
    if (view::decodeStream(path.c_str(), options, view::Sink{}, summary) != 0) return -1;
    return summary.problemTotal;
}

}  // namespace testsupport
