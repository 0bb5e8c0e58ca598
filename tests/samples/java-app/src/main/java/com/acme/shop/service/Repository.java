package com.acme.shop.service;

import java.util.Optional;

/** Storage of entities by identifier. */
public interface Repository<T> {
    Optional<T> find(String id);

    void save(T entity);
}
