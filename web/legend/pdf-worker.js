/* The designer's PDF of a legend, off the page's thread: the pages come
 * drawn (ImageBitmaps, drawn by the page from the legend's SVG pages, which
 * only a document can draw), and go out as one PDF of that paper size
 * (jsPDF, bundled by the build). Each page is one lossless image: the
 * labels keep any script the browser can draw, which a PDF's own fonts
 * could not. */
import {jsPDF} from "jspdf";

/* A page's pixels as PNG, the lossless form jsPDF takes and compresses. */
async function pngBytes(bitmap) {
  const canvas = new OffscreenCanvas(bitmap.width, bitmap.height);
  canvas.getContext("2d").drawImage(bitmap, 0, 0);
  bitmap.close();
  return new Uint8Array(await (await canvas.convertToBlob({type: "image/png"})).arrayBuffer());
}

/* One document a worker: {paper, title} starts it, each {page} adds one
 * (in order, the next sent once this one is answered), {end} returns it. */
let doc = null;
let pages = 0;

async function answer({paper, title, page, end}) {
  if (paper) {
    const [w, h] = paper;
    doc = new jsPDF({unit: "mm", format: [w, h], orientation: w > h ? "landscape" : "portrait", compress: true});
    doc.setProperties({title: title ?? "Legend", creator: "swatch designer"});
    return {};
  }
  if (page) {
    const [width, height] = [doc.internal.pageSize.getWidth(), doc.internal.pageSize.getHeight()];
    if (pages) doc.addPage([width, height], width > height ? "landscape" : "portrait");
    doc.addImage(await pngBytes(page), "PNG", 0, 0, width, height, `page${pages++}`, "FAST");
    return {};
  }
  if (end) return {pdf: doc.output("arraybuffer")};
  throw new Error("an unknown message");
}

self.onmessage = async ({data}) => {
  try {
    const reply = await answer(data);
    self.postMessage(reply, reply.pdf ? [reply.pdf] : []);
  } catch (err) {
    self.postMessage({error: `could not write the PDF: ${err.message}`});
  }
};
