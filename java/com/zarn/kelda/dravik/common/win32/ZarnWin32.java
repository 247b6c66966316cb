package com.zarn.kelda.dravik.common.win32;

import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.InputStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.Callable;
import java.util.stream.Collectors;

/**
 * Loads zarnwin32.dll into the JVM, from the jar itself when need be: call {@link #load()} once
 * before the first call to any method of the library's classes.
 *
 * <p>The jar carries the library for 32-bit JVMs ({@code win32-x86/zarnwin32.dll}) and for 64-bit
 * JVMs ({@code win32-x86-64/zarnwin32.dll}). The one that fits this JVM is copied into a cache
 * folder of the user, as
 * {@code %LOCALAPPDATA%\zarnwin32\<version>\<win32-x86 or win32-x86-64>\zarnwin32-<hash>.dll},
 * where {@code <hash>} is the start of the SHA-256 hash of its content, and loaded from there.
 * Without {@code LOCALAPPDATA} the cache is {@code .zarnwin32} in {@code user.home}; the system
 * property {@code zarnwin32.cache} names another folder, an absolute one, in place of
 * {@code %LOCALAPPDATA%\zarnwin32}. Where the JVM cannot hand the path of the latter to Windows'
 * loader (characters outside the ANSI code page), the cache is a folder of the account's own,
 * {@code %ProgramData%\zarnwin32-<hash of the account's name>}. A copy already in the cache is used when its whole SHA-256 hash
 * is that of the jar's library, and replaced when it is not. A {@code zarnwin32.dll} on
 * {@code java.library.path} is loaded in place of the copy only when it is byte for byte the
 * jar's library; the system property {@code zarnwin32.library} names one file to load instead.
 */
public final class ZarnWin32 {
    /** The system property that names the cache folder. */
    static final String CACHE_PROPERTY = "zarnwin32.cache";
    /** The system property that names the one library file to load, in place of the jar's. */
    static final String LIBRARY_PROPERTY = "zarnwin32.library";
    /** The system property that chooses the text mode: {@code ansi} (the default) or {@code unicode}. */
    static final String TEXT_PROPERTY = "zarnwin32.text";
    static final String NAME = "zarnwin32";
    static final String LIBRARY_FILE = "zarnwin32.dll";
    /** The folders of the jar that hold a library, in the order the error message lists them. */
    private static final String[] FOLDERS = {"win32-x86", "win32-x86-64"};

    /** How a library file gets into the JVM; tests give a stand-in for System.load. */
    interface Linker {
        void load(String absolutePath);

        void loadLibrary(String name);
    }

    private static final ZarnWin32 JVM = new ZarnWin32(new Linker() {
        @Override
        public void load(String absolutePath) {
            System.load(absolutePath);
        }

        @Override
        public void loadLibrary(String name) {
            System.loadLibrary(name);
        }
    });

    private final Linker linker;
    private final LibraryCache.Host host;
    private volatile Path loaded;

    ZarnWin32(Linker linker) {
        this(linker, LibraryCache.Host.REAL);
    }

    ZarnWin32(Linker linker, LibraryCache.Host host) {
        this.linker = linker;
        this.host = host;
    }

    /**
     * Loads the library, once: later calls return at once. The first of these that applies decides
     * where it comes from:
     * <ol>
     * <li>the system property {@code zarnwin32.library}: exactly the file it names (made absolute),
     *     and nothing else;</li>
     * <li>the library this jar carries for the JVM's architecture (the system property
     *     {@code os.arch}: x86, i386 to i686, amd64, x86_64): a {@code zarnwin32.dll} in a folder of
     *     {@code java.library.path} whose content is the very same, else the copy in the cache
     *     folder; where another class loader of this JVM has that file loaded already, a copy in the
     *     cache under a name of its own;</li>
     * <li>{@code System.loadLibrary("zarnwin32")}, when this jar carries no library for the
     *     architecture.</li>
     * </ol>
     * A file that is checked against the jar's library is held open, so that no other process can
     * change it, until it is loaded. Safe to call from several threads, from several class loaders
     * and from several processes that share the cache folder.
     *
     * <p>The system property {@code zarnwin32.text} chooses the text mode (see {@link #textMode()});
     * a value other than {@code ansi} or {@code unicode} is refused before anything is loaded.
     *
     * @throws UnsatisfiedLinkError when no library could be loaded, or {@code zarnwin32.text} has
     *     another value; its message lists what was tried, in order, and each failed attempt is one
     *     of its suppressed exceptions
     */
    public static void load() {
        JVM.loadOnce();
    }

    /**
     * The library file that {@link #load()} loaded into this class loader: for a library that
     * {@code System.loadLibrary} loaded, the first {@code zarnwin32.dll} on
     * {@code java.library.path}, where the JVM looks for it (or the bare file name when there is
     * none there, and the class loader found it itself).
     *
     * @return the file's absolute path, or {@code null} before a load succeeded
     */
    public static String loadedFile() {
        Path file = JVM.loaded;
        return file == null ? null : file.toString();
    }

    /**
     * The text mode of the loaded library, which the system property {@code zarnwin32.text} chose
     * when the library was loaded: {@code "ansi"} or {@code "unicode"}.
     *
     * <p>In {@code ansi} mode (the default, and the library's behaviour before the choice existed)
     * a Java string reaches Windows as its modified UTF-8 bytes through the ANSI functions, and ANSI
     * text from Windows comes back as it is: text is exact for other programs only where it is
     * ASCII. In {@code unicode} mode every native passes the string's UTF-16 characters to the
     * Unicode functions, and text from Windows comes back exactly as the system holds it. The
     * library reads the property once, when it is loaded (by {@link #load()},
     * {@code System.load} or {@code System.loadLibrary}); a later change has no effect.
     *
     * @return {@code "ansi"} or {@code "unicode"}
     * @throws UnsatisfiedLinkError when the library is not loaded
     */
    public static String textMode() {
        return unicodeText() ? "unicode" : "ansi";
    }

    private static native boolean unicodeText();

    synchronized void loadOnce() {
        if (loaded != null) {
            return;
        }
        // A value of zarnwin32.text that the library would refuse when it loads is refused first.
        String mode = System.getProperty(TEXT_PROPERTY);
        if (mode != null && !mode.equals("ansi") && !mode.equals("unicode")) {
            throw new UnsatisfiedLinkError("The system property " + TEXT_PROPERTY + " is \"" + mode + "\": it must be ansi or unicode");
        }
        List<String> tried = new ArrayList<>();
        List<Throwable> failures = new ArrayList<>();
        String named = System.getProperty(LIBRARY_PROPERTY, "");
        String arch = System.getProperty("os.arch", "");
        String folder = folderFor(arch);
        Loading loading = new Loading(linker, host);
        Path file;
        if (!named.isEmpty()) {
            file = attempt("-D" + LIBRARY_PROPERTY + "=" + named, () -> loading.loadNamed(named), tried, failures);
        } else if (folder != null && ZarnWin32.class.getResource("/" + folder + "/" + LIBRARY_FILE) != null) {
            String jars = "the jar's " + folder + "/" + LIBRARY_FILE;
            file = attempt("a copy of " + jars + " on java.library.path", () -> loading.loadCopyOnLibraryPath(folder), tried, failures);
            if (file == null) {
                file = attempt(jars + " from the cache", () -> loading.loadFromCache(folder), tried, failures);
            }
            if (file != null) {
                loading.clean(file);
            }
        } else {
            file = attempt("System.loadLibrary(\"" + NAME + "\"), as this jar has no library for os.arch \"" + arch
                    + "\" (it carries " + carried() + ")", loading::loadSystemLibrary, tried, failures);
        }
        if (file == null) {
            StringBuilder message = new StringBuilder("zarnwin32 could not be loaded. Tried, in order:");
            for (int i = 0; i < tried.size(); i++) {
                message.append('\n').append(i + 1).append(". ").append(tried.get(i));
            }
            UnsatisfiedLinkError error = new UnsatisfiedLinkError(message.toString());
            for (Throwable failure : failures) {
                error.addSuppressed(failure);
            }
            throw error;
        }
        loaded = file;
    }

    /** Runs one way to load the library, which gives the file it loaded; when it fails, notes "what: why", keeps what it threw and gives null. */
    private static Path attempt(String what, Callable<Path> attempt, List<String> tried, List<Throwable> failures) {
        try {
            return attempt.call();
        } catch (Exception | UnsatisfiedLinkError e) {
            // The loader's own reasons are plain IOExceptions; any other exception keeps its class name.
            boolean plain = e instanceof UnsatisfiedLinkError || e.getClass() == IOException.class || e instanceof LibraryCache.Unencodable;
            String why = plain ? String.valueOf(e.getMessage()) : e.toString();
            tried.add(what + ": " + why);
            failures.add(e);
            return null;
        }
    }

    /**
     * The version of this jar and of the libraries it carries, as it stands in the jar's manifest
     * (Implementation-Version) and in the version resource of each library.
     *
     * @return the version, for example {@code "1.0.0"}; {@code "unknown"} for classes that were
     *     not built into a jar by the library's build
     */
    public static String version() {
        byte[] version = Held.orElse(() -> resource("zarnwin32.version"), null);
        return version == null ? "unknown" : new String(version, StandardCharsets.US_ASCII).trim();
    }

    /** The jar's folder for a value of os.arch, or null for an architecture without a library. */
    static String folderFor(String osArch) {
        return osArch.matches("x86|i[3-6]86") ? "win32-x86" : osArch.matches("amd64|x86_64") ? "win32-x86-64" : null;
    }

    static byte[] library(String folder) throws IOException {
        byte[] library = resource("/" + folder + "/" + LIBRARY_FILE);
        if (library == null) {
            throw new IOException("this jar has no " + folder + "/" + LIBRARY_FILE);
        }
        return library;
    }

    /** The content of a resource of the jar; null when there is none. */
    private static byte[] resource(String name) throws IOException {
        try (InputStream in = ZarnWin32.class.getResourceAsStream(name)) {
            if (in == null) {
                return null;
            }
            ByteArrayOutputStream out = new ByteArrayOutputStream();
            byte[] buffer = new byte[65536];
            for (int n; (n = in.read(buffer)) != -1; ) {
                out.write(buffer, 0, n);
            }
            return out.toByteArray();
        }
    }

    /** The architectures this jar carries a library for, as folder names. */
    private static String carried() {
        String list = Arrays.stream(FOLDERS).filter(f -> ZarnWin32.class.getResource("/" + f + "/" + LIBRARY_FILE) != null).collect(Collectors.joining(", "));
        return list.isEmpty() ? "no library" : list;
    }
}
