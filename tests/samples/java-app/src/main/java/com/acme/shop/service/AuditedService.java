package com.acme.shop.service;

import java.util.logging.Logger;

/** Base of services that log what they change. */
public abstract class AuditedService {
    private static final Logger LOG = Logger.getLogger("audit");

    protected void audit(String action, String id) {
        LOG.info(action + " " + id);
    }
}
