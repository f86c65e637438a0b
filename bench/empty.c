/* Baseline for the start-up benchmark: a statically linked program that
 * does nothing. */
int main(void)
{
    return 0;
}
