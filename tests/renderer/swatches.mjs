/* The legend tool's swatches of the renderer check's cases: a JSON list of
 * {style, size} on standard input (style the document's text, size the
 * swatch box), on standard output a JSON list of each case's first row's
 * swatch paths, bottom first: [at 1x, at 2x where the row has an image of
 * its own there (else null)]. */
import {readLegend} from "../../web/legend/legend.js";
import {layerPaths} from "../../web/legend/output.js";

const chunks = [];
for await (const chunk of process.stdin) chunks.push(chunk);
const out = [];
for (const {style, size} of JSON.parse(Buffer.concat(chunks).toString("utf8"))) {
  const [row] = (await readLegend(style, {size})).rows;
  out.push([layerPaths(row), layerPaths(row, 2)]);
}
process.stdout.write(JSON.stringify(out));
