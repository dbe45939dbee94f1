#include "platform/recognition/tesseract_recognizer.h"

#include <omp.h>

#include <algorithm>
#include <exception>
#include <memory>
#include <thread>
#include <vector>

#include "platform/platform_error.h"
#include "platform/recognition/image_file.h"
#include "platform/recognition/line_confidence.h"
#include "platform/recognition/line_model.h"
#include "platform/recognition/line_reader.h"
#include "platform/recognition/page_layout.h"
#include "platform/recognition/page_preparation.h"
#include "platform/recognition/page_reader.h"
#include "platform/recognition/script_rules.h"

namespace {

// Lines are read on up to this many threads at once, each Tesseract instance by one at a time.
constexpr unsigned kThreads = 2;

// The Tesseract models for |tags|, in their order.
std::vector<std::string> TesseractLanguages(const std::vector<std::string>& tags) {
  std::vector<std::string> languages;
  for (const std::string& tag : tags) {
    std::string model;
    if (tag == "zh-Hans") model = "chi_sim";
    if (tag == "en-US") model = "eng";
    if (model.empty()) {
      throw PlatformError("Text recognition has no language data for \"" + tag + "\"");
    }
    if (std::find(languages.begin(), languages.end(), model) == languages.end()) {
      languages.push_back(model);
    }
  }
  return languages;
}

// The image file at |path| decoded to grey.
OwnedPix ReadImage(const std::string& path) {
  return DecodeForRecognition(path, ReadWholeFile(path), TesseractRecognizer::kMaxPixels);
}

// The lines read on |page|, without icons, lone strokes read as anything but a stroke, pieces of
// other lines and lines read twice.
std::vector<FoundLine> KeptLines(const Page& page, PageReader& reader) {
  std::vector<FoundLine> lines;
  for (size_t i = 0; i < page.regions.size(); ++i) {
    for (FoundLine& line : reader.Result(i)) {
      const bool kept = page.regions[i].stroke ? IsFlatStroke(line.text) : !IsLoneIcon(line.text);
      if (kept) lines.push_back(std::move(line));
    }
  }
  auto boxes_of = [](const std::vector<FoundLine>& lines) {
    std::vector<LineRegion> boxes;
    for (const FoundLine& line : lines) {
      boxes.push_back({line.left, line.top, line.right - line.left, line.bottom - line.top});
    }
    return boxes;
  };
  const std::vector<bool> fragments = FragmentsOf(boxes_of(lines));
  std::vector<FoundLine> whole;
  std::vector<size_t> characters;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (fragments[i]) continue;
    characters.push_back(CharacterCount(lines[i].text));
    whole.push_back(std::move(lines[i]));
  }
  const std::vector<bool> twice = ReadTwiceOf(boxes_of(whole), characters);
  std::vector<FoundLine> kept;
  for (size_t i = 0; i < whole.size(); ++i) {
    if (!twice[i]) kept.push_back(std::move(whole[i]));
  }
  return kept;
}

}  // namespace

std::pair<int, int> TesseractRecognizer::PrepareImage(const std::string& image_path) {
  setMsgSeverity(L_SEVERITY_NONE);
  const OwnedPix original = ReadImage(image_path);
  const Prepared prepared = Prepare(image_path, original.get());
  return {pixGetWidth(prepared.pix.get()), pixGetHeight(prepared.pix.get())};
}

std::vector<TextObservation> TesseractRecognizer::Recognize(const std::string& image_path,
                                                            const RecognitionSettings& settings,
                                                            int max_candidates) {
  setMsgSeverity(L_SEVERITY_NONE);
  const std::vector<std::string> languages = TesseractLanguages(settings.languages);
  const OwnedPix original = ReadImage(image_path);
  SilenceTesseract();

  // Debian's Tesseract is built with OpenMP, and its threads make it several times slower on a
  // busy machine. Its parallel loops name their own thread counts, which overrides
  // omp_set_num_threads; no active parallel level runs every region on the calling thread. The
  // page's lines are shared among threads of our own instead.
  omp_set_max_active_levels(0);
  const int threads =
      static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 1u, kThreads));
  // The line model reads Chinese and Latin text: only where Chinese was asked for.
  std::unique_ptr<LineModel> model;
  if (std::find(languages.begin(), languages.end(), "chi_sim") != languages.end()) {
    model = std::make_unique<LineModel>(model_directory_);
  }
  TextDetector detector(model_directory_);
  PageReader reader(languages, settings, model.get(), threads);

  // A helper thread prepares the page and finds its lines while this one loads the language data
  // that nearly every page needs. Then both read the lines.
  Page page;
  std::thread helper([&] {
    try {
      omp_set_max_active_levels(0);
      page = LayOut(image_path, original.get(), detector);
      reader.Start(page);
    } catch (...) {
      reader.Fail(std::current_exception());
      return;
    }
    if (threads > 1) reader.Work();
  });
  try {
    reader.LoadAhead();
    reader.Work();
  } catch (...) {
    // Work stops on every thread: the helper returns.
  }
  helper.join();
  if (const std::exception_ptr failure = reader.failure()) std::rethrow_exception(failure);

  // Boxes go back to fractions of the original image, bottom-left origin.
  const double width = pixGetWidth(page.prepared.pix.get());
  const double height = pixGetHeight(page.prepared.pix.get());
  const std::vector<FoundLine> lines = KeptLines(page, reader);
  std::vector<TextObservation> observations;
  for (const FoundLine& line : lines) {
    TextObservation observation;
    if (max_candidates > 0) observation.candidates.push_back(LoneHalfWidth(line.text));
    observation.box = {.x = line.left / width,
                       .y = (height - line.bottom) / height,
                       .width = (line.right - line.left) / width,
                       .height = (line.bottom - line.top) / height};
    observations.push_back(std::move(observation));
  }
  return observations;
}
