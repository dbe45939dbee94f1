// The lines of text a reader sees in the page, from the DOM: every character's box (a Range per
// character), kept where the character is visible (inside the viewport, not clipped or covered:
// the topmost element at its centre is its own element or one inside it), grouped into the visual
// lines of its text node, then the fragments of one inline flow that sit on one line (a <b> inside
// a sentence) joined, with a space where a margin as wide as one parts them. Text under MIN_PX CSS px (by its font size, or by its boxes where a transform
// shrinks it: a line box under 1.1 MIN_PX tall), transparent, hidden or of zero opacity is left out;
// the boxes of visible text left out for its size are listed apart (small), as text a reader may
// read or leave.
// Whitespace is collapsed as rendered, letters are cased as rendered (text-transform); boxes are
// CSS px from the viewport's top left.
const MIN_PX = 8;
const SPACE = /\s/;

function blockOf(element) {
  for (let e = element; e; e = e.parentElement) {
    const display = getComputedStyle(e).display;
    if (!display.startsWith('inline') && display !== 'contents') return e;
  }
  return document.body;
}

function shown(element, rect) {
  const x = rect.left + rect.width / 2, y = rect.top + rect.height / 2;
  if (x < 0 || y < 0 || x >= innerWidth || y >= innerHeight) return false;
  const hit = document.elementFromPoint(x, y);
  return !!hit && (hit === element || element.contains(hit) || hit.contains(element));
}

function visible(element) {
  const style = getComputedStyle(element);
  if (/rgba\(.*,\s*0\)$/.test(style.color) || style.color === 'transparent') return false;
  return element.checkVisibility({opacityProperty: true, visibilityProperty: true});
}

// The visual lines of one text node: [{text (uncollapsed ends kept), left, top, right, bottom}].
function nodeLines(node) {
  const element = node.parentElement;
  const text = node.data;
  const transform = getComputedStyle(element).textTransform;
  const cased = (ch, at) => {
    if (transform === 'uppercase') return ch.toUpperCase();
    if (transform === 'lowercase') return ch.toLowerCase();
    if (transform === 'capitalize' && (at === 0 || SPACE.test(text[at - 1]))) return ch.toUpperCase();
    return ch;
  };
  const range = document.createRange();
  const lines = [];
  let line = null;
  let pending = null;  // a rendered space before a line's first character
  for (let i = 0; i < text.length;) {
    const step = text.codePointAt(i) > 0xffff ? 2 : 1;
    const ch = cased(text.slice(i, i + step), i);
    range.setStart(node, i);
    range.setEnd(node, i + step);
    i += step;
    const rects = [...range.getClientRects()].filter(r => r.width > 0 && r.height > 0);
    if (!rects.length) continue;
    const r = rects[0];
    const cy = r.top + r.height / 2;
    const sameLine = line && !line.broken && cy >= line.top && cy <= line.bottom && r.left >= line.lastLeft - 1;
    if (SPACE.test(ch)) {
      if (sameLine) line.text += ' ';
      else pending = r;
      continue;
    }
    if (!shown(element, r)) {
      if (line) line.broken = true;
      pending = null;
      continue;
    }
    if (!sameLine) {
      const lead = pending && pending.top + pending.height / 2 >= r.top &&
          pending.top + pending.height / 2 <= r.bottom && pending.right <= r.left + 1;
      line = {text: lead ? ' ' : '', left: r.left, top: r.top, right: r.right, bottom: r.bottom, lastLeft: r.left};
      lines.push(line);
    }
    pending = null;
    line.text += ch;
    line.left = Math.min(line.left, r.left);
    line.right = Math.max(line.right, r.right);
    line.top = Math.min(line.top, r.top);
    line.bottom = Math.max(line.bottom, r.bottom);
    line.lastLeft = r.left;
  }
  return lines.filter(l => l.text.trim());
}

function pageLines() {
  const walker = document.createTreeWalker(document.body, NodeFilter.SHOW_TEXT);
  const fragments = [];
  const small = [];
  for (let node = walker.nextNode(); node; node = walker.nextNode()) {
    const element = node.parentElement;
    if (!element || ['SCRIPT', 'STYLE', 'TITLE'].includes(element.tagName)) continue;
    if (!node.data.trim()) {
      // A space between two inline elements ("<b>int</b> <i>main</i>") belongs to the line it sits on.
      const last = fragments[fragments.length - 1];
      const range = document.createRange();
      range.selectNodeContents(node);
      const r = [...range.getClientRects()].find(r => r.width > 0 && r.height > 0);
      if (last && r && r.top + r.height / 2 >= last.top && r.top + r.height / 2 <= last.bottom &&
          r.left >= last.right - 1) {
        last.text += ' ';
      }
      continue;
    }
    if (!visible(element)) continue;
    if (parseFloat(getComputedStyle(element).fontSize) < MIN_PX) {
      small.push(...nodeLines(node));
      continue;
    }
    const block = blockOf(element);
    for (const l of nodeLines(node)) fragments.push({...l, block});
  }
  // Fragments of one block on one visual line, next to each other, become one line.
  const lines = [];
  for (const f of fragments) {
    const last = lines[lines.length - 1];
    const height = Math.min(f.bottom - f.top, last ? last.bottom - last.top : 0);
    const overlap = last ? Math.min(f.bottom, last.bottom) - Math.max(f.top, last.top) : 0;
    if (last && last.block === f.block && overlap > 0.5 * height &&
        f.left - last.right < 0.8 * height && f.left > last.right - 2) {
      // A margin as wide as a space reads as one ("Ravi Kumar<span>10:02 AM</span>").
      const gap = f.left - last.right > 0.25 * height && !/\s$/.test(last.text) && !/^\s/.test(f.text);
      last.text += (gap ? ' ' : '') + f.text;
      last.left = Math.min(last.left, f.left);
      last.right = Math.max(last.right, f.right);
      last.top = Math.min(last.top, f.top);
      last.bottom = Math.max(last.bottom, f.bottom);
    } else {
      lines.push({...f});
    }
  }
  const tall = l => l.bottom - l.top >= 1.1 * MIN_PX;
  const box = l => ({x: l.left, y: l.top, width: l.right - l.left, height: l.bottom - l.top});
  return {
    width: innerWidth, height: innerHeight,
    lines: lines.filter(tall).map(l => ({text: l.text.replace(/\s+/g, ' ').trim(), ...box(l)})),
    small: small.concat(lines.filter(l => !tall(l))).map(box)
  };
}

return pageLines();
