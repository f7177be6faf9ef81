// The listing: every entry the window shows, one selection at a time, as
// running text or for the JSON document, and what Run would do on each.
#pragma once

#include "console/json.h"
#include "console/log.h"
#include "console/session.h"
#include "scsi/device_record.h"
#include "window/main_window.h"

namespace app {

// What Run would do for a kind of run on the selected entry: the window's own
// enabling rules decide whether Run can be pressed (programming needs an image
// that can match the chip; one that matches and fits is assumed), the dispatch
// table which procedure it calls.
RunOffer OfferOf(MainWindow& w, const device::DeviceRecord& record, RunMode mode);

// Selects every entry in turn and lists it (with the devices that could not
// be listed, or why there is no entry at all).
void ListEntries(Session& s);

// Each enclosure as the first refresh found it, before any run selects one.
void LogEnclosures(ConsoleLog& log, const MainWindow& w);

}  // namespace app
