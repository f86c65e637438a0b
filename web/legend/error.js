/* A style document the legend refuses, with one line that says what is wrong
 * and where: the command line prints it, the designer shows it. */
export class LegendError extends Error {
  constructor(message) {
    super(message);
    this.name = "LegendError";
  }
}

/* The largest style document read, in bytes: a larger one is refused before
 * it is parsed (the command line stops reading it there). */
export const MAX_STYLE_BYTES = 5 * 1024 * 1024;

export function checkStyleSize(bytes) {
  if (bytes > MAX_STYLE_BYTES) throw new LegendError(`the style document is over ${MAX_STYLE_BYTES / 1024 / 1024} MiB`);
}
