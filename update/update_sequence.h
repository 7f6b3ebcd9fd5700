#pragma once

// Thread procedure of one update run; ends by calling ReportUpdateResult once.
void RunFirmwareUpdate();
