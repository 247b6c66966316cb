package com.zarn.kelda.dravik.common.win32;

import java.io.File;
import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.InvalidPathException;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.List;

/**
 * One load: each way of {@link ZarnWin32#load()} to put a file into the JVM, and System.load of a
 * checked, held file with its retries. The jar's library and its cache are read and opened once
 * for all attempts of the load.
 */
final class Loading {
    private final ZarnWin32.Linker linker;
    private final LibraryCache.Host host;
    private LibraryCache.Content jarLibrary;
    private LibraryCache cache;

    Loading(ZarnWin32.Linker linker, LibraryCache.Host host) {
        this.linker = linker;
        this.host = host;
    }

    /** Cleans the cache after a load, when the load opened it. */
    void clean(Path loaded) {
        if (cache != null) {
            cache.clean(loaded);
        }
    }

    /**
     * The file that zarnwin32.library names. System.load needs an absolute path; Windows would
     * look for a relative one along the DLL search path. A JVM lets one class loader load a given
     * file, and this one is the user's to place: it is not copied for a second class loader.
     */
    Path loadNamed(String named) {
        Path file = Paths.get(named).toAbsolutePath().normalize();
        try {
            linker.load(file.toString());
        } catch (UnsatisfiedLinkError e) {
            if (!loadedByAnotherClassLoader(e)) {
                throw e;
            }
            UnsatisfiedLinkError error = new UnsatisfiedLinkError(e.getMessage() + "; a JVM lets one class loader load a file:"
                    + " load the library's classes from a class loader that all share, or leave out -D" + ZarnWin32.LIBRARY_PROPERTY
                    + " to have a copy for each class loader");
            error.initCause(e);
            throw error;
        }
        return file;
    }

    /**
     * A library in a folder of java.library.path, under the name System.loadLibrary would look
     * for, when its content is byte for byte the jar's. On Windows that path holds by default the
     * JVM's folder, the Windows folders, every PATH entry and the current directory: a library of
     * another version left in any of them is passed over, and so is one that another account may
     * change or rename, or one that stays locked.
     */
    Path loadCopyOnLibraryPath(String folder) throws IOException {
        LibraryCache.Content library = jarLibrary(folder);
        List<Path> files = onLibraryPath();
        List<String> passed = new ArrayList<>();
        for (Path file : files) {
            try (Held held = LibraryCache.hold(file, null)) {
                if (held == null) {
                    continue;
                } else if (!host.mayTrust(file)) {
                    passed.add(file + " (other accounts may change it or rename it)");
                } else if (held.contains(library)) {
                    return link(file, held, library);
                } else {
                    passed.add(file + " (the content differs)");
                }
            } catch (IOException e) {
                passed.add(file + " (" + e.getMessage() + ")");
            }
        }
        throw new IOException(files.isEmpty() ? "there is none" : "not used: " + String.join(", ", passed));
    }

    /** The files that System.loadLibrary would find, in the order it looks at them. */
    private static List<Path> onLibraryPath() {
        String name = System.mapLibraryName(ZarnWin32.NAME);
        List<Path> files = new ArrayList<>();
        for (String entry : System.getProperty("java.library.path", "").split(File.pathSeparator)) {
            try {
                Path file = Paths.get(entry.isEmpty() ? "." : entry, name).toAbsolutePath().normalize();
                if (Files.isRegularFile(file) && !files.contains(file)) {
                    files.add(file);
                }
            } catch (InvalidPathException e) {
                // Not a folder the JVM could look in either.
            }
        }
        return files;
    }

    /** The jar's library, copied to the cache when need be, and loaded from there. */
    Path loadFromCache(String folder) throws IOException {
        LibraryCache.Content library = jarLibrary(folder);
        Path copy = cache(library).copyName(library);
        Path file = loadIfSame(copy, library);
        // A missing copy is put in place without replacing, so one that another JVM put there first is
        // checked at once; one that differs or is a link is replaced then. Windows refuses to replace
        // a file that another process has loaded or holds, which it checked: that copy may be good.
        IOException refused = null;
        for (int round = 0; file == null && round < 2; round++) {
            refused = null;
            try {
                cache.write(copy, library, round > 0);
            } catch (IOException e) {
                refused = e;
            }
            try {
                file = loadIfSame(copy, library);
            } catch (Throwable e) {
                addSuppressed(e, refused);
                throw e;
            }
        }
        if (file == null) {
            throw refused != null ? refused : new IOException("the copy in the cache was changed again before it could be loaded");
        }
        return file;
    }

    /**
     * Holds a file of the cache and, when the held handle reads the library, loads it before letting
     * go: the file loaded is the file checked. Null, having loaded nothing, for a file missing, a
     * link, or of other content.
     */
    private Path loadIfSame(Path file, LibraryCache.Content library) throws IOException {
        try (Held held = LibraryCache.hold(file, cache(library))) {
            return held != null && held.contains(library) ? link(file, held, library) : null;
        }
    }

    /**
     * System.load of a checked, held file, retried only under the java.io hold: there a writer that
     * opened the file first makes Windows' loader fail with a sharing violation (error 32) until it
     * closes, which HotSpot words in the user's language (only the English words are told apart).
     * Under the no-sharing hold no other handle may write the file, and a policy block or the wrong
     * architecture fails the same way each time. A JVM lets only one class loader load a given
     * file: where another class loader (an earlier deployment that an application server has not
     * yet let go, say) has this one loaded, a copy in the cache under a name of its own is checked,
     * held and loaded in its place.
     */
    private Path link(Path file, Held held, LibraryCache.Content library) throws IOException {
        try {
            return Held.retried(() -> {
                linker.load(file.toString());
                return file;
            }, e -> held.locked && String.valueOf(e.getMessage()).contains("being used by another process"));
        } catch (UnsatisfiedLinkError e) {
            if (!loadedByAnotherClassLoader(e)) {
                throw e;
            }
            try {
                Path own = cache(library).ownCopy(library);
                Path loaded = loadIfSame(own, library);
                if (loaded == null) {
                    throw new IOException("the copy " + own + " was changed before it could be loaded");
                }
                return loaded;
            } catch (Throwable failure) {
                addSuppressed(failure, e);
                throw failure;
            }
        }
    }

    /** The JDK's words, from Java 8 on, when another class loader has loaded the file or is loading it. */
    private static boolean loadedByAnotherClassLoader(UnsatisfiedLinkError e) {
        return String.valueOf(e.getMessage()).contains(" in another classloader");
    }

    private static void addSuppressed(Throwable failure, Throwable cause) {
        if (cause != null && cause != failure) {
            failure.addSuppressed(cause);
        }
    }

    Path loadSystemLibrary() {
        linker.loadLibrary(ZarnWin32.NAME);
        List<Path> files = onLibraryPath();
        return files.isEmpty() ? Paths.get(System.mapLibraryName(ZarnWin32.NAME)) : files.get(0);
    }

    private LibraryCache.Content jarLibrary(String folder) throws IOException {
        if (jarLibrary == null) {
            jarLibrary = new LibraryCache.Content(folder, ZarnWin32.library(folder));
        }
        return jarLibrary;
    }

    private LibraryCache cache(LibraryCache.Content library) throws IOException {
        if (cache == null) {
            cache = LibraryCache.open(ZarnWin32.version(), library.folder, host);
        }
        return cache;
    }
}
