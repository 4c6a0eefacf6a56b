#include "worker/recording_worker.h"

int main(int argc, char** argv) {
  return zentri_native::RunRecordingWorker(argc, argv);
}
