/* The legend reader off the page's thread: a style's text or bytes in, its legend
 * (or the error that refused it) out, so the page stays responsive while a
 * large style is read. Bundled with its libraries by the build. */
import {LegendError, readLegend} from "./legend.js";

self.onmessage = async ({data: {text, fileName}}) => {
  try {
    self.postMessage({legend: await readLegend(text, {fileName})});
  } catch (err) {
    self.postMessage({error: err instanceof LegendError ? err.message : `could not read the style: ${err.message}`});
  }
};
