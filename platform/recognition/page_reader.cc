#include "platform/recognition/page_reader.h"

#include <algorithm>
#include <cmath>

#include "platform/recognition/line_confidence.h"
#include "platform/recognition/script_rules.h"

namespace {

// A line's region reaches half a line height beyond its glyphs on either side, the margin
// Tesseract reads best with; the line model reads pieces of the ink there (an icon's edge, a
// neighbouring cell) as characters. It reads a region at least kLeastNarrowedPerRegionHeight
// region heights wide narrowed by kModelNarrowingPerRegionHeight of its height on either side.
// On whole windows the five full-size variants summed 14.69 -> 14.02 % CER on the tune half and
// 13.16 -> 12.72 % on the held half; 0.6x and 0.5x read 19.24 / 41.46 -> 19.23 / 41.08 % and
// 16.84 / 33.71 -> 16.75 / 32.99 %. At 0.15 and 0.4 the tune half read worse. A narrower region
// holds one glyph or an icon alone: narrowed too, the model read icons as letters ("o", "=",
// "Q"; phantom lines 96 -> 108 on the tune half and 129 -> 145 on the held half).
constexpr double kModelNarrowingPerRegionHeight = 0.25;
constexpr double kLeastNarrowedPerRegionHeight = 2.5;

}  // namespace

PageReader::PageReader(const std::vector<std::string>& languages,
                       const RecognitionSettings& settings, LineModel* model, int threads)
    : settings_(settings), model_(model) {
  for (int step = 0; step < kTesseractSteps; ++step) {
    pools_.push_back({.languages = "", .copies = InstancePool<Instance>(threads)});
  }
  for (const std::string& language : languages) {
    pools_[kTogether].languages += (pools_[kTogether].languages.empty() ? "" : "+") + language;
  }
  if (languages.size() > 1) {
    pools_[kFirst].languages = languages[0];
    if (std::find(languages.begin(), languages.end(), "eng") != languages.end()) {
      pools_[kLatin].languages = "eng";
    }
  }
}

void PageReader::LoadAhead() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (const Step step : {kLatin, kTogether}) {
    if (failure_ || (page_ && page_->regions.empty())) return;
    MakeAhead(step, lock);
  }
}

void PageReader::Start(const Page& page) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    page_ = &page;
    lines_.resize(page.regions.size());
    const double glyph = page.prepared.glyph;
    small_glyphs_ = glyph > 0 && glyph < kSmallGlyph;
    const bool latin_first = !pools_[kLatin].languages.empty() && !small_glyphs_;
    for (Line& line : lines_) line.step = latin_first ? kLatin : kTogether;
  }
  changed_.notify_all();
}

void PageReader::Fail(std::exception_ptr failure) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!failure_) failure_ = failure;
  }
  changed_.notify_all();
}

void PageReader::Work() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [&] { return page_ || failure_; });
    if (failure_) return;
    size_t chosen = 0;
    bool make = false;
    const Choice choice = Choose(chosen, make);
    if (choice == kFinished) return;
    if (choice == kNothingYet) {
      // Rather than wait, this thread loads what lines not yet read together may need.
      try {
        if (MakeAhead(kTogether, lock)) continue;
      } catch (...) {
        return;
      }
      changed_.wait(lock);
      continue;
    }
    Line& line = lines_[chosen];
    const Step step = line.step;
    line.busy = true;
    std::unique_ptr<Instance> api;
    if (step != kModel) {
      InstancePool<Instance>& copies = pools_[step].copies;
      if (make) {
        copies.StartMaking();
      } else {
        api = copies.Take();
      }
    }
    Reading reading = std::move(line.reading);
    lock.unlock();
    Step after = kDone;
    try {
      if (make) {
        api = Make(pools_[step]);
        std::lock_guard<std::mutex> made(mutex_);
        pools_[step].copies.Made();
      }
      if (api && !api->attached) {
        api->api.SetImage(page_->prepared.pix.get());
        api->api.SetSourceResolution(page_->prepared.resolution);
        api->attached = true;
      }
      after = Advance(step, api ? &api->api : nullptr, page_->regions[chosen], reading);
    } catch (...) {
      // The instance that failed, or failed to be made, is given up.
      lock.lock();
      if (make && !api) {
        pools_[step].copies.NotMade();
      } else if (step != kModel) {
        pools_[step].copies.GiveUp();
      }
      if (!failure_) failure_ = std::current_exception();
      changed_.notify_all();
      return;
    }
    lock.lock();
    if (api) pools_[step].copies.Put(std::move(api));
    line.reading = std::move(reading);
    line.step = after;
    line.busy = false;
    changed_.notify_all();
  }
}

std::exception_ptr PageReader::failure() {
  std::lock_guard<std::mutex> lock(mutex_);
  return failure_;
}

PageReader::Choice PageReader::Choose(size_t& chosen, bool& make) {
  bool waiting = false;  // a line is being read or waits for an instance
  for (size_t i = 0; i < lines_.size(); ++i) {
    const Line& line = lines_[i];
    if (line.step == kDone) continue;
    waiting = true;
    if (!line.busy && (line.step == kModel || pools_[line.step].copies.HasIdle())) {
      chosen = i;
      return kChosen;
    }
  }
  if (!waiting) return kFinished;
  for (size_t i = 0; i < lines_.size(); ++i) {
    const Line& line = lines_[i];
    if (line.busy || line.step == kDone) continue;
    const InstancePool<Instance>& copies = pools_[line.step].copies;
    if (!copies.Making() && copies.BelowMost()) {
      chosen = i;
      make = true;
      return kChosen;
    }
  }
  return kNothingYet;
}

bool PageReader::MakeAhead(Step step, std::unique_lock<std::mutex>& lock) {
  Pool& pool = pools_[step];
  if (pool.languages.empty() || pool.copies.AnyMade()) return false;
  const bool needed = std::any_of(lines_.begin(), lines_.end(), [&](const Line& line) {
    return line.step <= step;
  });
  if (page_ && !needed) return false;
  pool.copies.StartMaking();
  lock.unlock();
  std::unique_ptr<Instance> api;
  std::exception_ptr failure;
  try {
    api = Make(pool);
  } catch (...) {
    failure = std::current_exception();
  }
  lock.lock();
  if (api) {
    pool.copies.Made();
    pool.copies.Put(std::move(api));
  } else {
    pool.copies.NotMade();
    if (!failure_) failure_ = failure;
  }
  changed_.notify_all();
  if (failure) std::rethrow_exception(failure);
  return true;
}

std::unique_ptr<PageReader::Instance> PageReader::Make(const Pool& pool) {
  auto made = std::make_unique<Instance>();
  InitLineReader(made->api, pool.languages, settings_);
  return made;
}

PageReader::Step PageReader::Advance(Step step, tesseract::TessBaseAPI* api,
                                     const LineRegion& region, Reading& reading) {
  Pix* pix = page_->prepared.pix.get();
  switch (step) {
    case kLatin: {
      reading = ReadRegion(*api, pix, region);
      if (reading.lines.empty() || reading.least < kTrustLatinFrom) return kTogether;
      return model_ && reading.lines.size() == 1 && NeedsConfirming(reading.lines[0].text)
                 ? kTogether
                 : kDone;
    }
    case kTogether: {
      // English alone's sure reading of a line it did not settle stands if this one is the same.
      const std::string latin = reading.lines.size() == 1 && reading.least >= kTrustLatinFrom
                                    ? reading.lines[0].text
                                    : std::string();
      reading = ReadRegion(*api, pix, region);
      if (!reading.recognized) return kDone;
      if (!latin.empty() && reading.lines.size() == 1 && reading.lines[0].text == latin) {
        return kDone;
      }
      // The model reads the characters of every line Tesseract read as one line, or where it
      // read nothing in a line the detector found: on whole windows it misreads fewer than
      // Tesseract however sure Tesseract was (1x 3.89 -> 2.81 % CER on the tune half, 3.72 ->
      // 3.44 % on the held half; 0.6x 26.0 -> 23.4 and 22.2 -> 20.0 %).
      const bool model = model_ && reading.lines.size() <= 1;
      return model ? kModel : Retried(reading);
    }
    case kModel: {
      const LineModel::Reading model = ReadWithModel(region);
      if (region.stroke) {
        // The model's reading of a lone stroke stands if it is one; otherwise Tesseract's may.
        if (!IsFlatStroke(model.Text())) return kDone;
        if (reading.lines.empty()) {
          if (std::optional<FoundLine> line = ModelLine(model, pix, region, 0)) {
            reading.lines.push_back(std::move(*line));
          }
        } else {
          TakeModelCharacters(model, pix, reading.lines[0]);
        }
        return kDone;
      }
      if (reading.lines.empty()) {
        const double least =
            small_glyphs_ ? kSmallGlyphModelLineConfidence : kModelLineConfidence;
        if (std::optional<FoundLine> line = ModelLine(model, pix, region, least)) {
          reading.lines.push_back(std::move(*line));
        }
        return kDone;
      }
      if (model.characters.empty()) {
        const FoundLine& line = reading.lines[0];
        const bool lone_letter = line.symbols.size() == 1 && ScriptOf(line.symbols[0].utf8) == 2;
        if (!model.read || small_glyphs_ || lone_letter) return Retried(reading);
        // The model sees no character where Tesseract read some: an icon, an avatar or a
        // picture, which Tesseract reads as "nw", "?3", "电" or "四". On whole windows at full
        // size, dropping these lines took the CER from 3.08 to 2.94 % on the tune half and 2.79
        // to 2.63 % on the held half (phantom lines 81 -> 58 and 107 -> 88). A letter or digit
        // alone is kept: the model reads none in a wide cell, and spreadsheets have such cells
        // ("C", "Y", "2"). On small glyphs the model misses real text too, and the tune half
        // gained nothing (0.6x and 0.5x together 30.35 -> 30.41 %).
        reading.lines.clear();
        return kDone;
      }
      TakeModelCharacters(model, pix, reading.lines[0]);
      return kDone;
    }
    case kFirst: {
      Reading again = ReadRegion(*api, pix, region);
      if (again.recognized && again.mean > reading.mean) reading.lines = std::move(again.lines);
      return kDone;
    }
    case kDone:
      break;
  }
  return kDone;
}

LineModel::Reading PageReader::ReadWithModel(const LineRegion& region) {
  // The model reads the image as it came, which it was trained on, rather than the prepared one:
  // on whole windows 46 -> 25 % CER at 0.6 of their size, 3.3 -> 3.0 % at 1x (tune half).
  const double scale = page_->prepared.scale;
  Pix* original = page_->original.get();
  const int left = static_cast<int>(region.left / scale);
  const int top = static_cast<int>(region.top / scale);
  const int right = std::min(pixGetWidth(original),
                             static_cast<int>(std::ceil((region.left + region.width) / scale)));
  const int bottom = std::min(pixGetHeight(original),
                              static_cast<int>(std::ceil((region.top + region.height) / scale)));
  int from = left, to = right;
  if (right - left >= kLeastNarrowedPerRegionHeight * (bottom - top)) {
    const int narrowing =
        static_cast<int>(std::lround(kModelNarrowingPerRegionHeight * (bottom - top)));
    // A side cut off by the image's edge has no margin to lose.
    if (left > 0) from += narrowing;
    if (right < pixGetWidth(original)) to -= narrowing;
  }
  LineModel::Reading reading = model_->Read(original, from, top, to - from, bottom - top);
  for (LineModel::Character& character : reading.characters) character.x *= scale;
  return reading;
}

PageReader::Step PageReader::Retried(const Reading& reading) const {
  const bool unsure = reading.least < kRetryBelowConfidence;
  return unsure && !pools_[kFirst].languages.empty() ? kFirst : kDone;
}
