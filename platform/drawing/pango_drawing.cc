#include "platform/drawing/pango_drawing.h"

#include <cairo.h>
#include <fcntl.h>
#include <pango/pangocairo.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/platform_error.h"

namespace {

PlatformError WriteError(const std::string& path, int error_number) {
  return PlatformError("The file \"" + path +
                       "\" could not be written: " + std::strerror(error_number));
}

template <typename T, void (*Free)(T*)>
struct Deleter {
  void operator()(T* object) const { Free(object); }
};
template <typename T, void (*Free)(T*)>
using Owned = std::unique_ptr<T, Deleter<T, Free>>;

void UnrefObject(void* object) { g_object_unref(object); }

class PangoCanvas : public Canvas {
 public:
  PangoCanvas(int width, int height)
      : height_(height),
        surface_(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height)),
        cairo_(cairo_create(surface_.get())),
        font_map_(pango_cairo_font_map_new()),
        pango_(pango_font_map_create_context(font_map_.get())) {
    pango_cairo_update_context(cairo_.get(), pango_.get());
    // Under a C locale Pango would pick the Japanese forms of Han characters.
    pango_context_set_language(pango_.get(), pango_language_from_string("zh-cn"));
  }

  void FillRect(const Rect& rect, const Rgb& color) override {
    cairo_t* cr = cairo_.get();
    cairo_set_source_rgb(cr, color.red, color.green, color.blue);
    cairo_rectangle(cr, rect.x, height_ - rect.y - rect.height, rect.width, rect.height);
    cairo_fill(cr);
  }

  void DrawText(std::string_view text, const Point& lower_left, double font_size,
                const Rgb& color) override {
    cairo_t* cr = cairo_.get();
    Owned<PangoLayout, PangoLayoutUnref> layout(pango_layout_new(pango_.get()));
    Owned<PangoFontDescription, pango_font_description_free> font(
        pango_font_description_from_string("sans-serif"));
    // Point sizes would be scaled by Pango's 96 dpi; one point of the canvas is one pixel.
    pango_font_description_set_absolute_size(font.get(), font_size * PANGO_SCALE);
    pango_layout_set_font_description(layout.get(), font.get());
    pango_layout_set_text(layout.get(), text.data(), static_cast<int>(text.size()));

    PangoRectangle logical;
    pango_layout_get_extents(layout.get(), nullptr, &logical);
    const double logical_bottom = static_cast<double>(logical.y + logical.height) / PANGO_SCALE;
    const double logical_left = static_cast<double>(logical.x) / PANGO_SCALE;
    cairo_set_source_rgb(cr, color.red, color.green, color.blue);
    cairo_move_to(cr, lower_left.x - logical_left, height_ - lower_left.y - logical_bottom);
    pango_cairo_show_layout(cr, layout.get());
  }

  std::optional<std::string> EncodePng() override {
    cairo_surface_flush(surface_.get());
    if (cairo_status(cairo_.get()) != CAIRO_STATUS_SUCCESS) return std::nullopt;
    std::string png;
    cairo_status_t status = cairo_surface_write_to_png_stream(
        surface_.get(),
        [](void* closure, const unsigned char* data, unsigned int length) {
          static_cast<std::string*>(closure)->append(reinterpret_cast<const char*>(data), length);
          return CAIRO_STATUS_SUCCESS;
        },
        &png);
    if (status != CAIRO_STATUS_SUCCESS) return std::nullopt;
    return png;
  }

 private:
  static void PangoLayoutUnref(PangoLayout* layout) { UnrefObject(layout); }
  static void PangoContextUnref(PangoContext* context) { UnrefObject(context); }
  static void FontMapUnref(PangoFontMap* font_map) { UnrefObject(font_map); }

  double height_;
  Owned<cairo_surface_t, cairo_surface_destroy> surface_;
  Owned<cairo_t, cairo_destroy> cairo_;
  // A font map of the canvas's own rather than Pango's process-wide default, so that the fonts
  // it holds are released with the canvas.
  Owned<PangoFontMap, FontMapUnref> font_map_;
  Owned<PangoContext, PangoContextUnref> pango_;
};

// Writes every byte of |bytes| to |fd|; the errno of the failed call, or 0.
int WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t written = write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    bytes.remove_prefix(static_cast<size_t>(written));
  }
  return 0;
}

}  // namespace

// Debian's fontconfig loses a few hundred bytes while parsing its configuration, once per
// process; in sanitizer builds the leak checker would turn every drawing run into a failure.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

std::unique_ptr<Canvas> PangoDrawing::CreateCanvas(int width, int height) {
  return std::make_unique<PangoCanvas>(width, height);
}

void PangoDrawing::WriteFile(const std::string& path, std::string_view bytes) {
  // The temporary file sits beside the target so that the rename stays on one file system.
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  std::string temporary = folder + "." + name + ".XXXXXX";
  const int fd = mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) throw WriteError(path, errno);
  // mkostemp creates the file 0600; give it the mode a plain create would have.
  const mode_t mask = umask(0);
  umask(mask);
  int error_number = fchmod(fd, 0666 & ~mask) != 0 ? errno : WriteAll(fd, bytes);
  if (error_number == 0 && fsync(fd) != 0) error_number = errno;
  if (close(fd) != 0 && error_number == 0) error_number = errno;
  if (error_number == 0 && rename(temporary.c_str(), path.c_str()) != 0) error_number = errno;
  if (error_number != 0) {
    unlink(temporary.c_str());
    throw WriteError(path, error_number);
  }
}
