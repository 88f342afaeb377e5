"""halvora: what programs using the card repeat, on top of the `_halvora_pybind11` module.

    with halvora.Card() as card, halvora.Media():
        with halvora.Decoder() as decoder:
            for frame in decoder.frames("clip.h264"):
                with frame:
                    picture = frame.nv12()

Every object that holds something on the card is a context manager that gives it back on
exit, also when the block raised: Card (the runtime and its device), DeviceMemory, Dataset,
Media (the media engine), Decoder and Encoder (channels; Frame for a decoded picture),
Model, ModelStream (a one-model op stream), FusedOp (a preprocess op) and Telemetry; Source
opens any file or URL libavformat reads (MP4, MKV, MPEG-TS, RTSP, HTTP, UDP...) for a Decoder.
Failures of the card raise CardError (a RuntimeError) with the card's status and text.

The package needs the module: it imports `_halvora_pybind11` from the path, else from the
repository's build tree (`build/python`, or `$HALVORA_BUILD/python`). Put the repository's
`python/` folder on the path (`PYTHONPATH=python`, as the Makefile does) to import it.
"""
from ._native import FOREVER, CardError, address, handle, native, zece, zecl, zecm, zeme, zeml
from .card import Card, Dataset, DeviceMemory, Resource, Slots, dataset_arrays, device_info, download, upload
from .jpeg import JpegDecoder, JpegEncoder, decode_jpeg, encode_jpeg
from .media import Decoder, Encoder, Frame, Media, StreamError, VideoInfo, frame_rate, probe
from .model import InputMismatch, Model, ModelStream, RunError, StreamInput, TensorInfo
from .postprocess import Classifier, Detector, postprocessor
from .preprocess import (FusedOp, check_image_input, float16_input, letterbox_geometry,
                         picture_settings, tensor_settings)
from .sources import Damaged, Dropped, Gap, Packet, Reconnect, Source
from .telemetry import Telemetry
from .writer import Writer
from . import samples

__all__ = [
    "FOREVER", "CardError", "address", "handle", "native", "zece", "zecl", "zecm", "zeme", "zeml",
    "Card", "Dataset", "DeviceMemory", "Resource", "Slots", "dataset_arrays", "device_info", "download", "upload",
    "JpegDecoder", "JpegEncoder", "decode_jpeg", "encode_jpeg",
    "Decoder", "Encoder", "Frame", "Media", "StreamError", "VideoInfo", "frame_rate", "probe",
    "InputMismatch", "Model", "ModelStream", "RunError", "StreamInput", "TensorInfo",
    "Classifier", "Detector", "postprocessor",
    "FusedOp", "check_image_input", "float16_input", "letterbox_geometry", "picture_settings",
    "tensor_settings",
    "Damaged", "Dropped", "Gap", "Packet", "Reconnect", "Source",
    "Telemetry",
    "Writer",
    "samples",
]
