#include "platform/recognition/line_model.h"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <fstream>
#include <map>
#include <mutex>
#include <vector>
#include <opencv2/core.hpp>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/dnn.hpp>

#include "platform/platform_error.h"
#include "platform/recognition/instance_pool.h"
#include "platform/recognition/model_file.h"

namespace {

constexpr size_t kKeys = 6623;

const std::string kModel = "line model";

PlatformError ModelError(const std::string& path, const std::string& reason) {
  return ModelFileError(kModel, path, reason);
}

std::string GraphPath(const std::string& directory, int width) {
  return directory + "/rec_" + std::to_string(width) + ".onnx";
}

}  // namespace

struct LineModel::Nets {
  static constexpr int kCopies = 2;
  // The loaded copies of one graph. A line runs through a copy no other thread is using (OpenCV's
  // nets are not reentrant); a second copy is loaded only when two lines need the graph at once.
  struct Slot {
    std::mutex mutex;
    std::condition_variable returned;
    InstancePool<cv::dnn::Net> copies{kCopies};
  };

  explicit Nets(const std::string& directory) {
    for (int width : kWidths) by_width[width] = std::make_unique<Slot>();
    directory_ = directory;
  }

  // Runs |input| through the graph for lines |width| pixels wide.
  cv::Mat Run(int width, const cv::Mat& input) {
    Slot& slot = *by_width.at(width);
    const std::string path = GraphPath(directory_, width);
    std::unique_ptr<cv::dnn::Net> net;
    {
      std::unique_lock<std::mutex> lock(slot.mutex);
      slot.returned.wait(lock, [&] { return slot.copies.HasIdle() || slot.copies.BelowMost(); });
      if (slot.copies.HasIdle()) {
        net = slot.copies.Take();
      } else {
        slot.copies.StartMaking();
      }
    }
    // A copy that fails to load or to run is given up, and its place with it.
    auto give_up = [&](bool loaded) {
      {
        std::lock_guard<std::mutex> lock(slot.mutex);
        if (loaded) {
          slot.copies.GiveUp();
        } else {
          slot.copies.NotMade();
        }
      }
      slot.returned.notify_one();
    };
    if (!net) {
      try {
        net = std::make_unique<cv::dnn::Net>(LoadGraph(kModel, path));
      } catch (const PlatformError&) {
        give_up(false);
        throw;
      }
      std::lock_guard<std::mutex> lock(slot.mutex);
      slot.copies.Made();
    }
    cv::Mat output;
    try {
      net->setInput(input);
      output = net->forward().clone();
    } catch (const cv::Exception&) {
      give_up(true);
      throw ModelError(path, "it cannot be run on a line");
    }
    {
      std::lock_guard<std::mutex> lock(slot.mutex);
      slot.copies.Put(std::move(net));
    }
    slot.returned.notify_one();
    return output;
  }

  std::string directory_;
  std::map<int, std::unique_ptr<Slot>> by_width;  // every width, made up front
};

LineModel::LineModel(const std::string& directory)
    : directory_(directory), nets_(std::make_unique<Nets>(directory)) {
  const std::string keys_path = directory + "/ppocr_keys_v1.txt";
  CheckModelFile(kModel, keys_path);
  for (int width : kWidths) CheckModelFile(kModel, GraphPath(directory, width));
  std::ifstream keys(keys_path);
  for (std::string key; std::getline(keys, key);) keys_.push_back(key);
  if (keys.bad() || keys_.size() != kKeys) {
    throw ModelError(keys_path, "it does not list the model's " + std::to_string(kKeys) +
                                    " characters one a line");
  }
  // OpenCV's dnn runs on the calling thread only (the recogniser has threads of its own) and
  // keeps its log to itself.
  cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
  cv::setNumThreads(1);
  // OpenCV makes its registry of layer types on first use without a barrier between threads; it is
  // made here, before the threads that load the graphs start.
  cv::dnn::LayerParams params;
  cv::dnn::LayerFactory::createLayerInstance("ReLU", params);
}

LineModel::~LineModel() = default;

namespace {

// A line up to this many times as wide as a graph is narrowed into it rather than padded into the
// next one (measured on the compressed UI frames: narrowing by up to 20 % reads as well as none,
// 1.27 % CER against 1.33 %; by up to 35 %, 1.42 %).
constexpr double kMostNarrowing = 1.2;
// A line too long for the widest graph is read in pieces as wide as it, each cut at the emptiest
// column of the last quarter of the piece: between two characters, not through one.
constexpr double kCutSearchPerPiece = 0.25;
// No text line is this many times as long as the widest graph (a 1 px line across a 4K frame is
// about 150 times); such a region is left to Tesseract rather than read in as many pieces.
constexpr int kMostPieces = 16;

// |width| at the model's line height.
int ScaledWidth(int width, int height) {
  return std::max(1, static_cast<int>(std::lround(width * static_cast<double>(LineModel::kHeight) /
                                                  height)));
}

// How much the values of column |x| of |line| (8 bpp) spread: 0 where it holds only background.
int ColumnSpread(Pix* line, int x) {
  const l_uint32* data = pixGetData(line);
  const int words_per_line = pixGetWpl(line);
  int least = 255, most = 0;
  for (int y = 0; y < pixGetHeight(line); ++y) {
    const int value = GET_DATA_BYTE(data + y * words_per_line, x);
    least = std::min(least, value);
    most = std::max(most, value);
  }
  return most - least;
}

// Where to cut |line| (8 bpp, LineModel::kHeight tall) into pieces no wider than |widest|: the
// right edge of every piece but the last.
std::vector<int> Cuts(Pix* line, int widest) {
  std::vector<int> cuts;
  const int width = pixGetWidth(line);
  const int search = std::max(1, static_cast<int>(widest * kCutSearchPerPiece));
  for (int start = 0; width - start > widest;) {
    int cut = start + widest, least = ColumnSpread(line, cut - 1);
    for (int x = start + widest - 1; x >= start + widest - search; --x) {
      const int spread = ColumnSpread(line, x);
      if (spread < least) least = spread, cut = x + 1;
    }
    cuts.push_back(cut);
    start = cut;
  }
  return cuts;
}

}  // namespace

LineModel::Reading LineModel::Read(Pix* grey, int left, int top, int width, int height) {
  Reading reading;
  if (width <= 0 || height <= 0) return reading;
  const int widest = std::end(kWidths)[-1];
  const int scaled_width = ScaledWidth(width, height);
  if (scaled_width > widest * kMostPieces) return reading;
  // A line that a graph holds, narrowed a little if need be, is read whole.
  const int whole_width = scaled_width <= widest * kMostNarrowing
                              ? std::min(scaled_width, *std::find_if(std::begin(kWidths),
                                                                     std::end(kWidths), [&](int w) {
                                                                       return w * kMostNarrowing >=
                                                                              scaled_width;
                                                                     }))
                              : scaled_width;
  Box* box = boxCreate(left, top, width, height);
  Pix* crop = pixClipRectangle(grey, box, nullptr);
  boxDestroy(&box);
  if (!crop) return reading;
  Pix* line = pixScaleToSize(crop, whole_width, kHeight);
  pixDestroy(&crop);
  if (!line || pixGetDepth(line) != 8 || pixGetHeight(line) != kHeight) {
    pixDestroy(&line);
    return reading;
  }
  const double across = static_cast<double>(pixGetWidth(line)) / width;
  double sum = 0;
  reading.read = true;
  std::vector<int> cuts = Cuts(line, widest);
  cuts.push_back(pixGetWidth(line));
  int start = 0;
  for (const int end : cuts) {
    sum += ReadPiece(line, start, end, left, across, reading);
    start = end;
  }
  pixDestroy(&line);
  if (!reading.characters.empty()) reading.confidence = sum / reading.characters.size();
  return reading;
}

double LineModel::ReadPiece(Pix* line, int start, int end, int left, double across,
                            Reading& reading) {
  // The narrowest graph that holds the piece; the padding on the right is 0.
  const int columns = *std::find_if(std::begin(kWidths), std::end(kWidths),
                                    [&](int w) { return w >= end - start; });
  // (value / 255 - 0.5) / 0.5 in each of three equal channels.
  cv::Mat input({1, 3, kHeight, columns}, CV_32F, cv::Scalar(0));
  const l_uint32* data = pixGetData(line);
  const int words_per_line = pixGetWpl(line);
  for (int y = 0; y < kHeight; ++y) {
    const l_uint32* row = data + y * words_per_line;
    for (int x = start; x < end; ++x) {
      const float value = GET_DATA_BYTE(row, x) / 127.5f - 1.0f;
      for (int channel = 0; channel < 3; ++channel) {
        input.ptr<float>(0, channel, y)[x - start] = value;
      }
    }
  }

  const cv::Mat output = nets_->Run(columns, input);
  // Greedy CTC: the most probable class of each column, repeats merged, blanks dropped.
  const int steps = output.size[1], classes = output.size[2];
  const double step_pixels = static_cast<double>(columns) / steps;
  int previous = 0;
  double sum = 0;
  for (int t = 0; t < steps; ++t) {
    const float* probabilities = output.ptr<float>(0, t);
    const int best = static_cast<int>(std::max_element(probabilities, probabilities + classes) -
                                      probabilities);
    if (best != previous && best != 0 && best <= static_cast<int>(keys_.size())) {
      reading.characters.push_back(
          {keys_[best - 1], left + (start + (t + 0.5) * step_pixels) / across});
      sum += probabilities[best];
    }
    previous = best;
  }
  return sum;
}
