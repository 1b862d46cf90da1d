#pragma once
#include <string>

#include "config/configuration.h"

// Configuration files on the disk: the records of configuration.h read from a file and written to
// one. Nothing here knows an engine; building loops from the records is loops/loop_records.h.

// Reads and decodes the whole file `name`. A file that is missing, not a regular file (a FIFO or
// a device is not opened to wait), too short or has a bad header gives kNotValidConfigurationText
// in the result's error and no loops; damage inside the file is as DecodeConfiguration tells.
// Reading stops at 64 MiB.
Decode_result ReadConfigurationFile(const std::string& name);

// Writes `configuration` to the file `name`. Returns "" on success (and for an empty name, which
// does nothing), else the text of what went wrong; never throws. The previous file is never
// damaged: the data go to a temporary file in the same folder, which is flushed to the disk and
// then renamed over `name` (over the target when `name` is a symbolic link, which stays); after a
// failure `name` is as it was and the temporary file is gone.
std::string WriteConfigurationFile(const std::string& name, const Configuration& configuration);
