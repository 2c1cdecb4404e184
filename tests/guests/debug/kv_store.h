struct kv {
    char key[16];
    int value;
};

#ifdef __cplusplus
extern "C"
#endif
int kv_load(struct kv *out, const char *text);
