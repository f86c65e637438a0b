/* A style document the legend refuses, with one line that says what is wrong
 * and where: the command line prints it, the designer shows it. */
export class LegendError extends Error {
  constructor(message) {
    super(message);
    this.name = "LegendError";
  }
}
