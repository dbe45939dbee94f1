#pragma once

#include <leptonica/allheaders.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/recognition/found_line.h"

// A PP-OCRv4 text-line recogniser (a CTC model over 6623 Chinese and Latin characters, then a
// space) run by OpenCV's dnn module on one thread. OpenCV 4.6 runs the model only at a fixed input
// width, so the install script writes one graph per width of kWidths (rec_W.onnx; the widths are
// the script's model_widths line, which the build passes in); a line is read by the narrowest
// that holds it, padded on the right, or narrowed a little into the one below; a line longer than
// the widest is read in pieces cut between its characters.
// Graphs load on first use. Threads share them: a loaded graph runs one line at a time (OpenCV's
// nets are not reentrant), and a second copy is loaded only when two lines need the same graph at
// the same time.
class LineModel {
 public:
  // The graph widths, in pixels of a 48 px high line.
  static constexpr int kWidths[] = {QUORVANE_MODEL_WIDTHS};
  static constexpr int kHeight = 48;

  // Checks that the key list and every graph under |directory| can be read and loads the keys.
  // Throws PlatformError naming the file and the reason otherwise.
  explicit LineModel(const std::string& directory);
  ~LineModel();

  // One character as read and where its column lies, in pixels of the image given to Read.
  using Character = ModelCharacter;
  struct Reading {
    std::vector<Character> characters;  // spaces left out
    double confidence = 0;              // mean probability of the characters read, 0 to 1
    bool read = false;  // the model ran on the line (not where it was empty or far too long)

    // The characters read, one after the other.
    std::string Text() const {
      std::string text;
      for (const Character& character : characters) text += character.utf8;
      return text;
    }
  };

  // Reads the text line in the |grey| rectangle (8 bpp) |left|, |top|, |width| x |height|; an
  // empty reading, not read, where that is far longer than any line of text.
  Reading Read(Pix* grey, int left, int top, int width, int height);

 private:
  // Reads columns [|start|, |end|) of |line| (8 bpp, kHeight tall, |across| times as wide as the
  // line was in the image, whose left edge is |left|) into |reading|; the sum of the
  // probabilities of the characters it read.
  double ReadPiece(Pix* line, int start, int end, int left, double across, Reading& reading);

  struct Nets;  // the loaded graphs by width

  std::string directory_;
  std::vector<std::string> keys_;  // class k + 1 is keys_[k]; class 0 is the CTC blank
  std::unique_ptr<Nets> nets_;
};
