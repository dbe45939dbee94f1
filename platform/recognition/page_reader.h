#pragma once

#include <tesseract/baseapi.h>

#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/recognition/instance_pool.h"
#include "platform/recognition/line_model.h"
#include "platform/recognition/line_reader.h"
#include "platform/recognition/page_layout.h"
#include "platform/recognition/text_recognizer.h"

// Reads the lines of one page on every thread that calls Work, a line's next reading on whichever
// thread is free, so that no thread waits while another holds the instance it needs. A line
// reads the same whichever threads read it. Each Tesseract instance reads one line at a time;
// another copy is loaded only when a thread has nothing else to do meanwhile.
//
// The readings a line goes through; each line leaves at the one that settles it:
// - English alone (kLatin), where other languages were asked for too and the page's glyphs are
//   at least kSmallGlyph tall: its reading stands if every word was read at least kTrustLatinFrom
//   confidently, unless it is one or two letters or stroke signs alone (NeedsConfirming) on a
//   page read for Chinese too;
// - every language together (kTogether); a sure English reading sent on here stands if this
//   reading is the same;
// - the line model (kModel), on every line Tesseract read as one line: Tesseract keeps the box
//   and the spaces, the model reads the characters, and a line where it reads none is dropped
//   unless it is one letter or digit or the page's glyphs are small; and on the lines Tesseract
//   read nothing in, the model's reading stands alone if it is sure of it (kModelLineConfidence,
//   or kSmallGlyphModelLineConfidence on a page of small glyphs); on a line of a lone stroke,
//   its reading stands only where it is a stroke (IsFlatStroke);
// - the first language alone (kFirst), on the lines the model does not read where a word read
//   together is below kRetryBelowConfidence; the reading with the higher mean confidence stands.
class PageReader {
 public:
  // |languages| in the order asked; |threads| is the most that will call Work at once.
  PageReader(const std::vector<std::string>& languages, const RecognitionSettings& settings,
             LineModel* model, int threads);

  // Loads, on the calling thread, the instances every page with text is read with first, unless
  // another thread has begun to.
  void LoadAhead();

  // Gives the reader its page; its lines are read from then on.
  void Start(const Page& page);

  // Stops every thread's work: the page could not be laid out.
  void Fail(std::exception_ptr failure);

  // Reads lines until every line is read, the page fails, or another thread fails.
  void Work();

  // The failure that stopped the work, if any.
  std::exception_ptr failure();

  // What was read of line |i|, once Work has returned on every thread.
  std::vector<FoundLine>& Result(size_t i) { return lines_[i].reading.lines; }

 private:
  enum Step { kLatin, kTogether, kFirst, kModel, kDone };
  static constexpr int kTesseractSteps = 3;  // kLatin, kTogether and kFirst use Tesseract instances

  // A Tesseract instance that reads single lines, and whether it has been given the page.
  struct Instance {
    tesseract::TessBaseAPI api;
    bool attached = false;
  };
  // The instances that load one set of languages.
  struct Pool {
    std::string languages;  // empty where this step is not taken
    InstancePool<Instance> copies;
  };

  struct Line {
    Step step = kTogether;
    bool busy = false;  // a thread is reading it
    Reading reading;    // the reading that stands so far
  };

  enum Choice { kChosen, kNothingYet, kFinished };

  // The line to read next, the first in page order whose next reading can start now; or, when
  // none can, the first that waits for a Tesseract instance of which another copy may be made
  // (|make|). Called with mutex_ held.
  Choice Choose(size_t& chosen, bool& make);

  // Makes an instance for |step| and leaves it idle, unless there is one already or none is
  // needed. Returns whether it made one. Called with |lock| held; unlocks it meanwhile. A failure
  // stops every thread's work and is thrown.
  bool MakeAhead(Step step, std::unique_lock<std::mutex>& lock);

  std::unique_ptr<Instance> Make(const Pool& pool);

  // Takes a line from |step| to the step after it, with |api| for Tesseract's steps.
  Step Advance(Step step, tesseract::TessBaseAPI* api, const LineRegion& region,
               Reading& reading);

  // The line model's reading of |region| (pixels of the prepared image) from the original image,
  // its characters placed in pixels of the prepared one.
  LineModel::Reading ReadWithModel(const LineRegion& region);

  // kFirst where |reading| has a word below kRetryBelowConfidence and there is a first language
  // to read with alone, else kDone.
  Step Retried(const Reading& reading) const;

  const RecognitionSettings& settings_;
  LineModel* model_;  // null when Chinese is not among the languages

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Pool> pools_;  // by Step, kLatin to kFirst
  const Page* page_ = nullptr;
  bool small_glyphs_ = false;  // the page's glyphs are under kSmallGlyph
  std::vector<Line> lines_;
  std::exception_ptr failure_;
};
