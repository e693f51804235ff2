#include "row/plannedrow.h"

#include <QFileInfo>

PlannedRow PlannedRow::single(const QString &source, const QString &output, int size,
                              OutputOptions options)
{
    PlannedRow row;
    row.source = source;
    options.geometry.size = size;
    options.encoding.format = QFileInfo(output).suffix().toLower().toUtf8();
    row.options = options;
    row.outputs.append({output, size, RowOutcome()});
    return row;
}
