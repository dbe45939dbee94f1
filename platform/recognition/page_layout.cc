#include "platform/recognition/page_layout.h"

Page LayOut(const std::string& path, Pix* original, TextDetector& detector) {
  Page page;
  page.prepared = Prepare(path, original);
  page.original.reset(pixClone(original));
  Pix* pix = page.prepared.pix.get();
  page.regions = InReadingOrder(detector.Find(original, page.prepared.glyph, page.prepared.scale,
                                              pixGetWidth(pix), pixGetHeight(pix)));
  return page;
}
