"""Per-picture results from a model's outputs: the top class of a classifier, the boxes of a
detector (in picture coordinates, after non-maximum suppression), and the post-processing a
model's first output calls for."""
import numpy as np

from .preprocess import letterbox_geometry


class Classifier:
    """Top class and its score; raw scores that are not probabilities go through a softmax.
    Scores that are not all finite (NaN or infinite) name no class: class and score None."""

    kind = "classifier"

    def __call__(self, arrays):
        scores = arrays[0].reshape(-1).astype(np.float64)
        if not np.isfinite(scores).all():
            return {"class": None, "score": None}
        if scores.min() < 0 or abs(scores.sum() - 1) > 1e-2:
            scores = np.exp(scores - scores.max())
            scores /= scores.sum()
        best = int(scores.argmax())
        return {"class": best, "score": round(float(scores[best]), 5)}


class Detector:
    """A box list from a detector-shaped output, in picture coordinates, after non-maximum
    suppression. Rows of [1, 1, N, 7]: image, class, score, x1, y1, x2, y2 (normalised);
    of [1, N, 6]: x1, y1, x2, y2, score, class (model-input pixels); of [1, N, 5 + C]:
    cx, cy, w, h, objectness, C class scores (model-input pixels). Rows with a value that is
    not finite are no boxes."""

    kind = "detector"

    def __init__(self, shape, input_size, picture_size, letterbox, threshold=0.25, overlap=0.45):
        self.shape, self.threshold, self.overlap = shape, threshold, overlap
        self.input_w, self.input_h = input_size
        self.picture_w, self.picture_h = picture_size
        if letterbox:
            (self.sx, self.sy), (self.ox, self.oy) = letterbox_geometry(*picture_size, *input_size)
        else:
            self.sx, self.sy, self.ox, self.oy = self.input_w / self.picture_w, self.input_h / self.picture_h, 0, 0

    def boxes(self, output):
        """(corners in model-input pixels, scores, classes) of every row."""
        if len(self.shape) == 4 and self.shape[-1] == 7:
            rows = output.reshape(-1, 7).astype(np.float32)
            scale = np.array([self.input_w, self.input_h] * 2, np.float32)
            return rows[:, 3:7] * scale, rows[:, 2], rows[:, 1].astype(int)
        rows = output.reshape(-1, self.shape[-1]).astype(np.float32)
        if self.shape[-1] == 6:
            return rows[:, :4], rows[:, 4], rows[:, 5].astype(int)
        classes = rows[:, 5:].argmax(axis=1)
        scores = rows[:, 4] * rows[np.arange(len(rows)), 5 + classes]
        centre, size = rows[:, :2], rows[:, 2:4]
        return np.hstack([centre - size / 2, centre + size / 2]), scores, classes

    def __call__(self, arrays):
        import cv2
        corners, scores, classes = self.boxes(arrays[0])
        keep = (np.isfinite(corners).all(axis=1) & np.isfinite(scores) & (scores >= self.threshold)
                & (corners[:, 2] > corners[:, 0]) & (corners[:, 3] > corners[:, 1]))
        corners, scores, classes = corners[keep], scores[keep], classes[keep]
        found: list = []
        for label in np.unique(classes):
            mine = np.flatnonzero(classes == label)
            rects = [[float(x1), float(y1), float(x2 - x1), float(y2 - y1)] for x1, y1, x2, y2 in corners[mine]]
            for k in np.array(cv2.dnn.NMSBoxes(rects, scores[mine].tolist(), self.threshold, self.overlap)).reshape(-1):
                x1, y1, x2, y2 = corners[mine[k]]
                box = [(x1 - self.ox) / self.sx, (y1 - self.oy) / self.sy, (x2 - self.ox) / self.sx,
                       (y2 - self.oy) / self.sy]
                box = [round(float(np.clip(v, 0, limit)), 1)
                       for v, limit in zip(box, [self.picture_w, self.picture_h] * 2)]
                found.append({"box": box, "score": round(float(scores[mine[k]]), 5), "class": int(label)})
        found.sort(key=lambda item: item["score"], reverse=True)
        return {"boxes": found}


def postprocessor(model, picture_size, letterbox, threshold):
    """The post-processing `model`'s first output calls for: a Classifier for [1, C] (or
    [1, C, 1, 1]), a Detector for [1, N, 6], [1, N, 5 + C] or [1, 1, N, 7]; ValueError naming
    the model's path otherwise."""
    output = model.outputs[0]
    shape = [d for d in output.shape]
    size = int(np.prod(shape))
    if len(shape) >= 2 and size == shape[1] and shape[1] >= 2:
        return Classifier()
    if (len(shape) == 4 and shape[:2] == [1, 1] and shape[3] == 7) or (len(shape) == 3 and shape[0] == 1
                                                                       and shape[2] >= 6):
        image = model.inputs[0].shape
        return Detector(shape, (image[3], image[2]), picture_size, letterbox, threshold)
    raise ValueError(f"{model.path}: output '{output.name}' of shape {shape} is neither a classifier's [1, C] "
                     "nor a detector's [1, N, 6], [1, N, 5 + C] or [1, 1, N, 7]")
