/* The designer's preview: the swatch as the program draws it, at actual
 * size and enlarged on three backdrops, and as drawn for 2x screens; or,
 * when the design is refused, nothing on show and nothing to copy. */
import {scaledUrl, scalesOffered} from "./swatch-url.js";

const PREVIEW_BOX = 320;  // the enlarged previews fit this many CSS pixels
const $ = id => document.getElementById(id);
const COPY_BUTTONS = ["copy-url", "copy-tag", "add-row-button"];

/* A message where the eye is: under its field, and scrolled into view. */
function setMessage(id, text) {
  $(id).textContent = text;
  if (text) $(id).scrollIntoView({block: "nearest"});
}

/* What is on show and what is on its way. */
const state = {objectUrls: [], serial: 0, shown: null /* {d: design, url} */};

/* What the reader is told of a reply that is no swatch. */
async function replyProblem(reply) {
  if ([413, 414, 431].includes(reply.status))
    return "The request is too long for the web server: shorten the dash pattern.";
  const text = (await reply.text()).trim();
  if (/^ERROR \d+: /.test(text)) return `The swatch program says: ${text}`;
  return `The web server answered ${reply.status} ${reply.statusText}`.trim() + ".";
}

/* Nothing on show and nothing to copy: the design is refused or broken. */
export function clearPreview(why) {
  ++state.serial; // whatever is on its way is no longer this design
  for (const img of document.querySelectorAll("#actual, img.enlarged")) {
    img.removeAttribute("src");
    img.removeAttribute("srcset");
    img.hidden = true;
  }
  for (const url of state.objectUrls) URL.revokeObjectURL(url);
  state.objectUrls = [];
  state.shown = null;
  $("scale-note").textContent = "";
  for (const id of COPY_BUTTONS) $(id).disabled = true;
  document.body.dataset.previewState = why;
}

/* Sizes the enlarged previews to whole multiples of the swatch that fit
 * the space they have, and says how much they are enlarged. */
export function layoutPreview() {
  if (!state.shown) return;
  const {d, url} = state.shown;
  const box = document.querySelector(".backdrops figure .backdrop");
  // On a narrow screen the preview stays in view in at most a quarter of
  // it: the enlargement fits a sixth of the screen's height as well.
  const tall = matchMedia("(max-width: 44rem)").matches ? Math.floor(innerHeight / 6) : PREVIEW_BOX;
  const room = Math.max(16, Math.min(PREVIEW_BOX, tall, box.parentElement.parentElement.clientWidth - 16));
  const scale = Math.floor(room / Math.max(d.w, d.h));
  const fit = scale >= 1 ? Math.min(8, scale) : room / Math.max(d.w, d.h);
  for (const img of document.querySelectorAll("img.enlarged")) {
    img.width = Math.max(1, Math.round(d.w * fit));
    img.height = Math.max(1, Math.round(d.h * fit));
  }
  const enlarged = scale >= 1 ? `Enlarged ${fit} times.`
                             : `Shown scaled down to fit (${d.w} x ${d.h} pixels).`;
  // Past the program's limits at 2x and 3x, those images are not offered.
  const scales = scalesOffered(url, d.w, d.h);
  const left = /Format=svg/i.test(url) ? "" : scales.length === 0
    ? " At 2x and 3x this swatch would pass the program's limits: only the 1x image is offered."
    : scales.length === 1 ? " At 3x this swatch would pass the program's limits: no 3x image is offered." : "";
  $("scale-note").textContent = enlarged + left;
}

async function fetchImage(url, serial) {
  const reply = await fetch(url);
  if (serial !== state.serial) return null;
  const type = reply.headers.get("Content-Type") || "";
  if (!reply.ok || !type.startsWith("image/")) throw new Error(await replyProblem(reply));
  const blob = await reply.blob();
  return serial === state.serial ? URL.createObjectURL(blob) : null;
}

/* Fetches the swatch (and its 2x rendering: the style's own image at 2x
 * where it has one, else the swatch at Scale=2) and shows it, or shows the
 * message of whoever refused it beside the field at fault. */
export async function preview(d, url, denseUrl = null) {
  const serial = ++state.serial;
  let one, two;
  try {
    one = await fetchImage(url, serial);
    // The 2x rendering where the program draws one: not past its limits.
    const sharp = scalesOffered(url, d.w, d.h).includes(2);
    two = one && sharp ? await fetchImage(denseUrl ?? scaledUrl(url, 2), serial) : one;
  } catch (err) {
    if (serial !== state.serial) return;
    clearPreview("error");
    const text = err instanceof TypeError ? "The swatch server did not answer." : err.message;
    setMessage(/ERROR 5: A swatch of/.test(text) ? "size-message"
               : /too long for the web server/.test(text) ? "dash-message" : "general-message", text);
    return;
  }
  if (!one || !two || serial !== state.serial) return; // a newer design is on its way
  for (const old of state.objectUrls) URL.revokeObjectURL(old);
  state.objectUrls = [one, two];
  state.shown = {d, url};
  const actual = $("actual");
  actual.src = one;
  // Sharp on a screen of 2 device pixels a CSS pixel too.
  if (two !== one) actual.srcset = `${one} 1x, ${two} 2x`;
  else actual.removeAttribute("srcset");
  actual.dataset.url = url;
  actual.hidden = false;
  for (const img of document.querySelectorAll("img.enlarged")) {
    img.src = img.id === "sharp" ? two : one;
    img.hidden = false;
  }
  layoutPreview();
  for (const id of COPY_BUTTONS) $(id).disabled = false;
  document.body.dataset.previewState = "shown";
}

/* A new design is on its way: what is on show is no longer it, and is not
 * to be copied. */
export function markPending(url) {
  if (state.shown && state.shown.url !== url) {
    for (const id of COPY_BUTTONS) $(id).disabled = true;
    document.body.dataset.previewState = "pending";
  }
}

