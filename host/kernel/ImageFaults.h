// Bug-check reports for faults inside Windows-built image code (see ImageFaults.cpp).
#pragma once

namespace host {

// Installs the fault reports; once per process, on the first image load.
void ReportImageFaults();

} // namespace host
