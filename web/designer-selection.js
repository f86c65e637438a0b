/* What the designer does with the legend's selected rows: moved a place
 * up or down together, removed, or put under one heading. Loaded the first
 * time one of them is asked for. */
import {renderLegend, stopEditing} from "./designer-legend.js";

const $ = id => document.getElementById(id);

/* Moves every selected row one place up (-1) or down (+1), past the next
 * row that is not selected; the selection keeps its order. */
function moveSelected(legend, step) {
  const rows = legend.rows;
  const order = step < 0 ? rows.map((_, k) => k) : rows.map((_, k) => rows.length - 1 - k);
  for (const k of order) {
    const next = k + step;
    if (next < 0 || next >= rows.length || !legend.selected.has(rows[k]) || legend.selected.has(rows[next])) continue;
    [rows[k], rows[next]] = [rows[next], rows[k]];
  }
  stopEditing();
  renderLegend();
}

export function removeSelected(legend) {
  legend.rows = legend.rows.filter(r => !legend.selected.has(r));
  legend.selected.clear();
  stopEditing();
  renderLegend();
  $("row-label").focus();
}

/* The selected rows under one heading (none for an empty name), gathered
 * where the first of them is. */
export function groupSelected(legend) {
  const name = $("group-name").value.trim();
  const picked = legend.rows.filter(r => legend.selected.has(r));
  if (!picked.length) return;
  const at = legend.rows.indexOf(picked[0]);
  const rest = legend.rows.filter(r => !legend.selected.has(r));
  const before = rest.filter(r => legend.rows.indexOf(r) < at);
  for (const r of picked) r.group = name || undefined;
  legend.rows = [...before, ...picked, ...rest.slice(before.length)];
  stopEditing();
  renderLegend();
}

export const moveSelectedUp = legend => moveSelected(legend, -1);
export const moveSelectedDown = legend => moveSelected(legend, 1);
