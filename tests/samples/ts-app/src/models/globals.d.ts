declare const __APP_VERSION__: string;
