/* A legend's rows as someone else wrote them (a legend's JSON, the
 * designer's address): every swatch path read as the program reads it and
 * written anew (nothing of the text but the designs is kept), colours as
 * RRGGBB, texts as texts. Light enough for the designer's first load. */
import {MAX_ROW_LAYERS, parseSwatchUrl, swatchPath, typedColor} from "../swatch-url.js";

/* The SVG legend's swatches are drawn this many times denser than their
 * boxes and scaled into them, so that a line of half a pixel prints half a
 * pixel wide. */
export const PRINT_DENSITY = 4;

/* The densities a row may have images of its own at: screens of 2 and 3
 * device pixels a CSS pixel, and print. */
export const DENSITIES = [2, 3, PRINT_DENSITY];

export const text = v => (typeof v === "string" ? v : "");
export const hex = v => typedColor(text(v));

const designOf = v => (typeof v === "string" && parseSwatchUrl(v)?.design) || null;

/* {swatch, beneath} read, as paths and as designs bottom first, or null;
 * the top MAX_ROW_LAYERS of them. */
function layers(at) {
  const beneath = Array.isArray(at?.beneath) ? at.beneath.slice(1 - MAX_ROW_LAYERS) : [];
  const designs = [...beneath, at?.swatch].map(designOf);
  if (designs.includes(null)) return null;
  const paths = designs.map(swatchPath);
  return {paths: {swatch: paths.at(-1), ...(paths.length > 1 ? {beneath: paths.slice(0, -1)} : {})}, designs};
}

function rampOf(r) {
  const colors = Array.isArray(r?.colors) ? r.colors.slice(0, 256).map(hex) : [];
  const stops = Array.isArray(r?.stops) ? r.stops.slice(0, 256).filter(s => Array.isArray(s) && Number.isFinite(s[0]) && hex(s[1])) : [];
  if (colors.length < 2 || colors.includes(null) || !Number.isFinite(r.min) || !Number.isFinite(r.max)) return null;
  return {min: r.min, max: r.max, colors,
          stops: stops.map(([v, c, tick]) => (typeof tick === "string" ? [v, hex(c), tick] : [v, hex(c)]))};
}

/* A row read: {label, group, notes, swatch, beneath, scaled, designs, w, h}
 * or {label, group, notes, ramp}; null when it is no swatch and no ramp. */
export function readRow(r) {
  const base = {label: text(r?.label), ...(text(r?.group) ? {group: text(r.group)} : {}),
                notes: Array.isArray(r?.notes) ? r.notes.map(text) : []};
  const ramp = r?.ramp && rampOf(r.ramp);
  if (ramp) return {...base, ramp};
  const drawn = layers(r);
  if (!drawn) return null;
  const {paths, designs} = drawn;
  const scaled = Object.fromEntries(DENSITIES.map(d => [d, layers(r.scaled?.[d])?.paths]).filter(([, l]) => l));
  return {...base, ...paths, ...(Object.keys(scaled).length ? {scaled} : {}), designs, w: designs[0].w, h: designs[0].h};
}
