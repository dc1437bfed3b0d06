// SPDX-License-Identifier: GPL-3.0-or-later
// Joining page files in-process with qpdf (libqpdf): the default merge engine.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "client/pdf/Merge.h"

namespace kestrane {

// Appends every page of each page file, in list order, to a new PDF written to
// outputFile (replaced if it exists). Each page keeps its own dictionary
// (rotation, media box, resources; attributes inherited from a page tree are
// pushed down onto the page first), stream data is copied byte for byte, the
// output is not linearised and carries a deterministic /ID (a digest of its
// contents), so the same pages always give the same bytes.
//
// Conservative: a page file that is not a PDF, that qpdf can read only with
// warnings (damaged, truncated, an HTML page saved as a page) or that holds no
// page fails the merge, and so does a result that does not open again without
// warnings or does not hold the sum of the pages. On failure and on a stop the
// output file is removed.
//
// The result reads like one of an outside program: started is always true;
// exitStatus is 0 on success and 1 on failure; output holds the reason of a
// failure (empty on success); outputWritten is true once the written file
// was opened again and held every page. A page file beyond the limits of
// client/pdf/PdfLimits.h fails the merge with overLimit set and the limit named in
// output. *abort and *cancel (a confirmed cancel; either may be null) are
// looked at before each page file and while the output is written; once one
// is set the call returns within milliseconds with stopped set.
MergeResult QpdfMerge(const std::vector<std::string>& pageFiles, const std::string& outputFile,
                      const std::atomic<bool>* abort, const std::atomic<bool>* cancel = nullptr);

}  // namespace kestrane
