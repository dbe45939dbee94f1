#include <exception>

#include "app/entry.h"
#include "app/failure_report.h"
#include "app/service_modules.h"
#include "app/standard_streams.h"
#include "commands/fixture.h"
#include "commands/join.h"
#include "commands/microphone.h"
#include "commands/ocr.h"

int main(int argc, char** argv) {
  IsolateStandardStreams();
  try {
    ModuleMicrophoneAuthority microphone;
    ModuleTextRecognizer recognizer;
    ModuleMediaServices media;
    ModuleDrawingService drawing;
    Subcommands subcommands{
        .microphone = [&] { ensureMicrophone(microphone); },
        .ocr = [&](const std::string& image_path) { recognize(image_path, recognizer); },
        .join = [&](const std::vector<std::string>& segment_paths,
                    const std::string& output_path) { join(segment_paths, output_path, media); },
        .fixture = [&](const std::string& output_path) { fixture(output_path, drawing); },
    };
    Dispatch(ArgumentList(argc, argv), subcommands);
  } catch (const std::exception& failure) {
    ReportFailure(failure.what());
  } catch (...) {
    ReportFailure("The operation failed for an unknown reason");
  }
  return 0;
}
