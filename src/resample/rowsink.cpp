#include "resample/rowsink.h"

void RowSink::pushImage(const QImage &image)
{
    for (int y = nextRow(0); y < rowCount(); y = nextRow(y + 1))
        pushImageRow(y, image.constScanLine(y));
}
