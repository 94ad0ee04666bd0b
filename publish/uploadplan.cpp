#include "uploadplan.h"

#include <algorithm>

namespace publish {

UploadPlan uploadPlan(QList<SiteObject> site, const QHash<QByteArray, std::int64_t> &stored)
{
    QList<UploadStep> steps;
    for (SiteObject &object : site) {
        ObjectMetadata metadata = objectMetadata(object.path);
        const auto held = stored.constFind(object.path);
        steps.append({std::move(object), std::move(metadata), held != stored.constEnd()});
    }
    std::sort(steps.begin(), steps.end(), [](const UploadStep &a, const UploadStep &b) {
        return a.metadata.order != b.metadata.order ? a.metadata.order < b.metadata.order
                                                    : a.object.path < b.object.path;
    });
    UploadPlan plan;
    for (const UploadStep &step : std::as_const(steps)) {
        if (step.metadata.kind == ObjectMetadata::Kind::Immutable && step.present
            && stored.value(step.object.path) != step.object.size) {
            plan.conflicts.append(QString::fromUtf8(step.object.path)
                                  + QStringLiteral(": the store holds other content (%1 bytes, not %2); an immutable "
                                                   "object is never overwritten")
                                        .arg(stored.value(step.object.path))
                                        .arg(step.object.size));
            continue;
        }
        (step.metadata.kind == ObjectMetadata::Kind::Fixed ? plan.entry : plan.content).append(step);
    }
    return plan;
}

} // namespace publish
