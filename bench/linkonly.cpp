/* Baseline for the start-up benchmark: links GD and CPL the way swatch does,
 * and exits. The calls behind the impossible condition keep the linker from
 * dropping either library. */
#include <cpl_conv.h>
#include <gd.h>

int main(int argc, char **)
{
    if (argc > 1000)
    {
        gdImageDestroy(gdImageCreate(1, 1));
        CPLFree(CPLStrdup(""));
    }
    return 0;
}
