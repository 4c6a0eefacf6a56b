// encworker: encodes frames that the addon streams over descriptor 3 with in-process libx264
// and writes the MP4 file. Exit status 0 after a successful finalization, 1 otherwise.
#pragma once

namespace zentri_native {

int RunRecordingWorker(int argc, char** argv);

}  // namespace zentri_native
