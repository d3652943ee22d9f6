"""tavrin.apply_image: pictures in memory, against the plug-in on the same pixels."""

import os
import tempfile

import pytest

import tavrin

Image = pytest.importorskip("PIL.Image")


@pytest.fixture(scope="module")
def picture(portrait):
    with Image.open(portrait) as f:
        return f.convert("RGB")


def plugin_on(effect, rgb, folder):
    """What the export itself makes of `rgb`, through a BMP on disk."""
    src, dst = os.path.join(folder, "ref-in.bmp"), os.path.join(folder, "ref-out.bmp")
    rgb.save(src, format="BMP")
    assert tavrin.apply(effect, src, dst) == 999
    with Image.open(dst) as f:
        return f.convert("RGB")


@pytest.mark.parametrize("effect", tavrin.EFFECTS)
def test_rgb_and_grey_equal_the_plugin(effect, picture, tmp_path, capfd):
    expected = plugin_on(effect, picture, tmp_path)
    capfd.readouterr()
    print("the caller's own line")
    result = tavrin.apply_image(effect, picture)
    assert result.image.mode == "RGB"
    assert result.image.tobytes() == expected.tobytes()
    assert result.face_found
    assert result.lines and all(isinstance(line, str) for line in result.lines)
    # Captured per call: nothing of the plug-in's reached this process's console.
    assert capfd.readouterr() == ("the caller's own line\n", "")

    grey = picture.convert("L")
    result = tavrin.apply_image(effect, grey)
    assert result.image.mode == "L"
    assert result.image.tobytes() == plugin_on(effect, grey.convert("RGB"), tmp_path).convert("L").tobytes()


@pytest.mark.parametrize("effect", ["sunglasses", "hat"])
def test_alpha_is_flattened_on_white_and_kept(effect, picture, tmp_path):
    # Opaque face, see-through frame: the plug-in sees white where alpha is 0.
    alpha = Image.new("L", picture.size, 0)
    alpha.paste(255, (40, 40, picture.width - 40, picture.height - 40))
    rgba = picture.copy()
    rgba.putalpha(alpha)
    flat = Image.new("RGB", picture.size, (255, 255, 255))
    flat.paste(picture, mask=alpha)

    result = tavrin.apply_image(effect, rgba)
    assert result.image.mode == "RGBA"
    assert result.image.getchannel("A").tobytes() == alpha.tobytes()
    assert result.image.convert("RGB").tobytes() == plugin_on(effect, flat, tmp_path).tobytes()

    grey_alpha = rgba.convert("LA")
    result = tavrin.apply_image(effect, grey_alpha)
    assert result.image.mode == "LA"
    assert result.image.getchannel("A").tobytes() == alpha.tobytes()


def test_palette_pictures_stay_palette(picture, tmp_path):
    palette = picture.quantize(64)
    expected = plugin_on("sunglasses", palette.convert("RGB"), tmp_path)
    result = tavrin.apply_image("sunglasses", palette)
    assert result.image.mode == "P" and result.image.size == picture.size
    # Back into a palette of its own: near the plug-in's picture, not equal.
    got, want = result.image.convert("RGB").tobytes(), expected.tobytes()
    assert sum(abs(a - b) for a, b in zip(got, want)) / len(want) < 4

    see_through = picture.quantize(64)
    see_through.info["transparency"] = see_through.getpixel((0, 0))
    result = tavrin.apply_image("sunglasses", see_through)
    assert result.image.mode == "P"
    assert result.image.convert("RGBA").getpixel((0, 0))[3] == 0
    assert result.image.convert("RGBA").getpixel((240, 300))[3] == 255


def test_arrays_come_back_as_arrays(picture, tmp_path):
    numpy = pytest.importorskip("numpy")
    array = numpy.asarray(picture)
    expected = numpy.asarray(plugin_on("beard", picture, tmp_path))
    result = tavrin.apply_image("beard", array)
    assert isinstance(result.image, numpy.ndarray)
    assert result.image.dtype == numpy.uint8 and result.image.shape == array.shape
    assert numpy.array_equal(result.image, expected) and result.face_found
    result.image[0, 0] = 0  # the caller owns a writable copy

    # A view with strides of its own is the same pixels.
    mirrored = array[:, ::-1]
    expected = numpy.asarray(plugin_on("beard", Image.fromarray(numpy.ascontiguousarray(mirrored)),
                                       tmp_path))
    assert numpy.array_equal(tavrin.apply_image("beard", mirrored).image, expected)

    for bad in (array.astype(numpy.float32), array[:, :, :2], array[:, :, 0],
                numpy.zeros((0, 4, 3), numpy.uint8)):
        with pytest.raises(ValueError):
            tavrin.apply_image("beard", bad)


def test_wrong_input_and_no_face(picture):
    with pytest.raises(ValueError, match="sunglasses, mustache, hat, beard"):
        tavrin.apply_image("moustache", picture)
    with pytest.raises(TypeError):
        tavrin.apply_image("hat", [[0, 0, 0]])
    with pytest.raises(ValueError):
        tavrin.apply_image("hat", Image.new("RGB", (0, 0)))
    sky = Image.new("RGB", (200, 150), (40, 90, 200))
    # The sunglasses fall back to a guessed face and always report eyes.
    for effect in ("mustache", "hat", "beard"):
        result = tavrin.apply_image(effect, sky)
        assert not result.face_found and result.image.size == sky.size


def test_a_crashing_plugin_is_an_error_and_leaves_no_files(picture, tmp_path, monkeypatch):
    resource = pytest.importorskip("resource")
    # A temporary folder whose name is not UTF-8 still reaches the plug-in.
    root = tmp_path / os.fsdecode(b"tmp \xff")
    root.mkdir()
    monkeypatch.setattr(tempfile, "tempdir", str(root))
    assert tavrin.apply_image("mustache", picture).face_found

    # libc's abort() stands in for a plug-in that crashes.
    crashing = tavrin._table.Plugin("hat", "libc", "abort", "Face at (")
    monkeypatch.setattr(tavrin._table, "find", lambda effect: crashing)
    monkeypatch.setattr(tavrin._discovery, "library_path", lambda plugin: "libc.so.6")
    soft, hard = resource.getrlimit(resource.RLIMIT_CORE)
    resource.setrlimit(resource.RLIMIT_CORE, (0, hard))  # no core file from the child
    try:
        with pytest.raises(OSError, match="died of signal"):
            tavrin.apply_image("hat", picture)
    finally:
        resource.setrlimit(resource.RLIMIT_CORE, (soft, hard))
    missing = tavrin._table.Plugin("hat", "libc", "NoSuchExport", "Face at (")
    monkeypatch.setattr(tavrin._table, "find", lambda effect: missing)
    with pytest.raises(OSError, match="NoSuchExport"):
        tavrin.apply_image("hat", picture)
    assert os.listdir(root) == []
